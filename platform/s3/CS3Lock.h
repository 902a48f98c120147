#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "s3/CS3Client.h"
#include "zel/CBase.h"
#include "zel/P.h"

namespace s3 {

// A lock taken by CS3FileSystem::lockFile: an object whose body names its holder.
// An object store cannot tell whether the process that wrote it still lives, so the
// holder proves it by renewing the object; one that stopped renewing for longer than
// the stale time may be broken.
//
// The body of a held lock is the holder's text, then one line of our own:
//
//   <holder text>
//   lock=<token> renewed=<unix seconds>
//
// The token (16 random hex digits) tells one taking of the lock from another, also when
// two takers wrote the same holder text. "renewed" is the holder's clock: the hosts'
// clocks must agree to much better than kStaleAfter - kRenewalInterval. An empty body
// is a free lock.
//
// Every change of a lock that exists is a PUT with "If-Match: <ETag last seen>", never a
// DELETE: the gateway checks If-Match atomically against other PUTs, but not against a
// DELETE, so a renewal in flight while the object is deleted can bring it back (the
// tests saw this). Releasing and breaking therefore write the empty body, and the
// object stays, as a local lock file does.
//
// While held, a thread of this object renews the lock every renewal interval with a
// fresh time. When that PUT answers 412, a GET looks: another token, a free lock or no
// object means the lock was lost, which is logged, and renewing stops; our own token
// (a retried PUT whose first attempt had succeeded) is renewed again against the ETag
// just read. Other failures are logged and tried again at the next interval.
//
// Releasing (the destructor) stops the thread at once and empties the object if it
// still is ours, in the same way.
//
// Thread-safe: the object is only created and destroyed.
class CS3Lock final : public zel::CBase {
 public:
  // How often a holder renews its lock.
  static constexpr std::chrono::milliseconds kRenewalInterval{20000};
  // How long after its last renewal a lock counts as stale: several renewals may fail
  // (each one already retried by the client) before a live holder loses its lock.
  static constexpr std::chrono::milliseconds kStaleAfter{90000};

  // What a lock object says.
  struct Body {
    std::string holder;         // UTF-8
    std::string token;          // empty when the object is not in the format above
    std::int64_t renewed = -1;  // unix seconds; -1 when unknown
  };
  static std::string format(const Body& body);
  // Anything not in the format is all holder text, with no token and no time.
  static Body parse(const std::string& text);
  // True when the lock was last renewed longer than `staleAfter` before `now`. A body
  // without a time is never stale.
  static bool isStale(const Body& body, std::chrono::milliseconds staleAfter,
                      std::chrono::system_clock::time_point now);
  static std::string newToken();
  static std::int64_t unixNow();
  // A PUT of `text` that succeeds only while the object's ETag is `etag`. Sent without
  // the quotes: the gateway compares the ETag as it stores it.
  static CS3Request replaceIf(const std::string& bucket, const std::string& key,
                              const std::string& text, const std::string& etag);

  // Holds the lock object bucket/key, just written with `body` (its ETag `etag`), and
  // renews it every `renewal`.
  CS3Lock(zel::P<CS3Client> client, std::string bucket, std::string key, Body body,
          std::string etag, std::chrono::milliseconds renewal);
  // Stops renewing and frees the lock (see above). Never throws: failures are logged,
  // and the lock then goes stale.
  ~CS3Lock() override;
  CS3Lock(const CS3Lock&) = delete;
  CS3Lock& operator=(const CS3Lock&) = delete;

 private:
  void run();
  // One renewal; false when the lock was lost.
  bool renew();
  void giveBack();
  CS3Request request(const char* method) const;

  const zel::P<CS3Client> client;
  const std::string bucket;
  const std::string key;
  const std::chrono::milliseconds renewal;
  // Touched by the renewal thread only, and by the destructor once it has ended.
  Body body;
  std::string etag;
  bool lost = false;

  std::mutex mutex;  // guards stopping
  std::condition_variable wake;
  bool stopping = false;
  std::thread thread;  // last: started once everything above is ready
};

}  // namespace s3
