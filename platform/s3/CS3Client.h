#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "s3/CS3Request.h"
#include "s3/CS3Response.h"
#include "s3/CS3Signer.h"
#include "zel/CBase.h"

namespace s3 {

// Sends signed S3 requests over HTTP with libcurl's multi interface, many at once, on
// one thread of its own. Transient failures (no connection, a reset, HTTP 500, 502,
// 503, 504, SlowDown) are retried with exponential backoff up to
// Settings::maxAttempts times in all; the last response is what the caller gets.
//
// A retried request may have taken effect the first time: a conditional PUT whose first
// attempt succeeded but whose answer was lost then reports 412. Callers that care look.
//
// Thread-safe: start() and perform() may be called from any thread, start() also from
// a callback. perform() must not be called from a callback (it would wait for itself).
class CS3Client final : public zel::CBase {
 public:
  struct Settings {
    std::string endpoint;  // "http://127.0.0.1:7480", no trailing slash
    std::string region = "us-east-1";
    std::string accessKey;
    std::string secretKey;
    int maxAttempts = 5;      // at least 1
    int firstBackoffMs = 50;  // doubled after every failed attempt, at most 2 s
    int connectTimeoutMs = 10000;
    // A transfer that moves less than a byte per second for this long is cut off (and
    // retried).
    int stallTimeoutMs = 60000;
  };

  // Kinds of requests counted by getRequestCount().
  enum Kind : int { Get = 0, Head, Put, Copy, Delete, List, KindCount };

  // Told once on the client's thread with the final response. Must not throw or block
  // for long; it may start further requests.
  using Callback = std::function<void(CS3Response&& response)>;

  explicit CS3Client(Settings settings);
  // Answers every request still waiting with a transport error, then ends the thread.
  ~CS3Client() override;
  CS3Client(const CS3Client&) = delete;
  CS3Client& operator=(const CS3Client&) = delete;

  const Settings& getSettings() const noexcept { return settings; }

  // Queues a request; `done` is told on the client's thread, never inside this call.
  void start(CS3Request request, Callback done);
  // Sends a request and waits for its final response.
  CS3Response perform(CS3Request request);

  // Requests sent so far (every attempt counts), of one kind.
  std::uint64_t getRequestCount(Kind kind) const noexcept {
    return counts[static_cast<std::size_t>(kind)].load();
  }
  // Requests retried so far.
  std::uint64_t getRetryCount() const noexcept { return retries.load(); }

 private:
  struct Transfer;

  void run();
  void launch(Transfer& transfer);
  // Handles a finished attempt: retry or tell the caller.
  void finish(std::unique_ptr<Transfer> transfer, int curlResult);
  static bool isTransient(const CS3Response& response);
  static Kind kindOf(const CS3Request& request);

  const Settings settings;
  const CS3Signer signer;
  std::string hostHeader;  // set in the constructor, then read only

  // Touched by the client's thread only (curl_multi_wakeup is thread-safe).
  void* multi = nullptr;
  std::map<void*, std::unique_ptr<Transfer>> active;
  std::vector<std::unique_ptr<Transfer>> delayed;

  std::mutex mutex;  // guards incoming, stopping
  std::vector<std::unique_ptr<Transfer>> incoming;
  bool stopping = false;

  std::array<std::atomic<std::uint64_t>, KindCount> counts{};
  std::atomic<std::uint64_t> retries{0};
  std::thread thread;  // last: started once everything above is ready
};

}  // namespace s3
