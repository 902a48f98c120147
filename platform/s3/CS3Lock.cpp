#include "s3/CS3Lock.h"

#include <cstdio>
#include <memory>
#include <random>
#include <utility>

#include "s3/CS3FileSystem.h"
#include "zel/CError.h"
#include "zel/Log.h"

namespace s3 {

namespace {

constexpr const char* kSource = "s3::CS3Lock";
constexpr const char* kTokenKey = "lock=";
constexpr const char* kRenewedKey = " renewed=";

std::string unquoted(std::string etag) {
  if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"') {
    etag = etag.substr(1, etag.size() - 2);
  }
  return etag;
}

}  // namespace

std::string CS3Lock::format(const Body& body) {
  return body.holder + "\n" + kTokenKey + body.token + kRenewedKey + std::to_string(body.renewed) +
         "\n";
}

CS3Lock::Body CS3Lock::parse(const std::string& text) {
  std::string rest = text;
  if (!rest.empty() && rest.back() == '\n') rest.pop_back();
  const std::size_t newline = rest.rfind('\n');
  const std::string last = newline == std::string::npos ? rest : rest.substr(newline + 1);
  Body body;
  body.holder = rest;
  const std::size_t renewedAt = last.find(kRenewedKey);
  if (!last.starts_with(kTokenKey) || renewedAt == std::string::npos) return body;
  const std::string digits = last.substr(renewedAt + std::char_traits<char>::length(kRenewedKey));
  if (digits.empty() || digits.size() > 18 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return body;
  }
  body.holder = newline == std::string::npos ? std::string() : rest.substr(0, newline);
  body.token = last.substr(std::char_traits<char>::length(kTokenKey),
                           renewedAt - std::char_traits<char>::length(kTokenKey));
  body.renewed = std::stoll(digits);
  return body;
}

bool CS3Lock::isStale(const Body& body, std::chrono::milliseconds staleAfter,
                      std::chrono::system_clock::time_point now) {
  if (body.renewed < 0) return false;
  const std::chrono::system_clock::time_point renewed{std::chrono::seconds(body.renewed)};
  return now - renewed > staleAfter;
}

std::string CS3Lock::newToken() {
  std::random_device random;
  char text[17];
  std::snprintf(text, sizeof(text), "%08x%08x", static_cast<unsigned>(random()),
                static_cast<unsigned>(random()));
  return text;
}

std::int64_t CS3Lock::unixNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

CS3Lock::CS3Lock(zel::P<CS3Client> client, std::string bucket, std::string key, Body body,
                 std::string etag, std::chrono::milliseconds renewal)
    : client(std::move(client)),
      bucket(std::move(bucket)),
      key(std::move(key)),
      renewal(renewal),
      body(std::move(body)),
      etag(std::move(etag)),
      thread([this] { run(); }) {}

CS3Lock::~CS3Lock() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
  }
  wake.notify_all();
  thread.join();
  if (!lost) giveBack();
}

CS3Request CS3Lock::request(const char* method) const {
  return CS3FileSystem::makeRequest(method, CS3FileSystem::Object{bucket, key});
}

void CS3Lock::run() {
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    if (wake.wait_for(lock, renewal, [this] { return stopping; })) return;
    lock.unlock();
    const bool held = renew();
    lock.lock();
    if (!held) return;
  }
}

bool CS3Lock::renew() {
  const CS3FileSystem::Object object{bucket, key};
  try {
    Body next = body;
    next.renewed = unixNow();
    const std::string text = format(next);
    CS3Response response = client->perform(replaceIf(bucket, key, text, etag));
    if (response.status == 412) {
      // Changed since our last PUT, or only its ETag did (a retried PUT whose first
      // attempt had succeeded): the object tells.
      CS3Response current = client->perform(request("GET"));
      if (current.isSuccess() && parse(current.bodyText()).token == body.token) {
        response = client->perform(replaceIf(bucket, key, text, current.header("etag")));
      } else if (current.isSuccess() || current.status == 404) {
        const zel::CError cause("The lock was broken; it is no longer renewed", kSource, -1,
                                zel::CProps()
                                    .add("bucket", zel::String::fromUTF8(bucket))
                                    .add("key", zel::String::fromUTF8(key))
                                    .add("holder", zel::String::fromUTF8(body.holder)));
        zel::logError(cause, "S3 lock lost", zel::String());
        lost = true;
        return false;
      } else {
        throw CS3FileSystem::makeError(current, "GET", object);
      }
    }
    if (!response.isSuccess()) throw CS3FileSystem::makeError(response, "PUT", object);
    body = std::move(next);
    etag = response.header("etag");
  } catch (const std::exception& e) {
    // The next interval tries again; only kStaleAfter without success loses the lock.
    zel::logError(e, "Renewing an S3 lock failed", zel::String::fromUTF8(bucket + "/" + key));
  }
  return true;
}

void CS3Lock::giveBack() {
  const CS3FileSystem::Object object{bucket, key};
  try {
    CS3Response response = client->perform(replaceIf(bucket, key, std::string(), etag));
    if (response.status == 412) {
      // As when renewing: only our own token may be released.
      CS3Response current = client->perform(request("GET"));
      if (current.status == 404) return;
      if (!current.isSuccess()) throw CS3FileSystem::makeError(current, "GET", object);
      if (parse(current.bodyText()).token != body.token) return;
      response = client->perform(replaceIf(bucket, key, std::string(), current.header("etag")));
    }
    if (!response.isSuccess()) throw CS3FileSystem::makeError(response, "PUT", object);
  } catch (const std::exception& e) {
    zel::logError(e, "Releasing an S3 lock failed; it goes stale",
                  zel::String::fromUTF8(bucket + "/" + key));
  }
}

CS3Request CS3Lock::replaceIf(const std::string& bucket, const std::string& key,
                              const std::string& text, const std::string& etag) {
  CS3Request put = CS3FileSystem::makeRequest("PUT", CS3FileSystem::Object{bucket, key});
  put.body = std::make_shared<std::vector<unsigned char>>(text.begin(), text.end());
  put.headers.emplace("if-match", unquoted(etag));
  return put;
}

}  // namespace s3
