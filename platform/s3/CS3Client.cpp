#include "s3/CS3Client.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <future>
#include <random>

#include "zel/CError.h"
#include "zel/CInvalidArgError.h"
#include "zel/Log.h"

namespace s3 {

namespace {

constexpr const char* kSource = "s3::CS3Client";
constexpr int kMaxBackoffMs = 2000;
constexpr int kIdlePollMs = 1000;

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
      throw zel::CError("libcurl could not be initialised", kSource);
    }
  });
}

std::string lowerCase(std::string text) {
  for (char& c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string trim(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
    ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
    --end;
  return std::string(text.substr(begin, end - begin));
}

}  // namespace

struct CS3Client::Transfer {
  CS3Request request;
  Callback done;
  CS3Response response;
  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;
  std::size_t uploaded = 0;
  std::chrono::steady_clock::time_point due;
  char errorText[CURL_ERROR_SIZE] = {};

  ~Transfer() { release(); }
  void release() {
    if (easy != nullptr) curl_easy_cleanup(easy);
    easy = nullptr;
    if (headerList != nullptr) curl_slist_free_all(headerList);
    headerList = nullptr;
  }

  static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self) {
    auto& body = static_cast<Transfer*>(self)->response.body;
    body.insert(body.end(), data, data + size * count);
    return size * count;
  }
  static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self) {
    auto& response = static_cast<Transfer*>(self)->response;
    const std::string_view line(data, size * count);
    // A new status line (after "100 Continue") starts a new set of headers.
    if (line.starts_with("HTTP/")) response.headers.clear();
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos) {
      response.headers[lowerCase(std::string(line.substr(0, colon)))] =
          trim(line.substr(colon + 1));
    }
    return size * count;
  }
  static std::size_t onUpload(char* buffer, std::size_t size, std::size_t count, void* self) {
    auto& transfer = *static_cast<Transfer*>(self);
    const auto& body = *transfer.request.body;
    const std::size_t piece = std::min(size * count, body.size() - transfer.uploaded);
    std::memcpy(buffer, body.data() + transfer.uploaded, piece);
    transfer.uploaded += piece;
    return piece;
  }
  static int onSeek(void* self, curl_off_t offset, int origin) {
    // curl rewinds the upload when it resends on a fresh connection.
    auto& transfer = *static_cast<Transfer*>(self);
    if (origin != SEEK_SET || offset < 0 ||
        static_cast<std::size_t>(offset) > transfer.request.body->size()) {
      return CURL_SEEKFUNC_CANTSEEK;
    }
    transfer.uploaded = static_cast<std::size_t>(offset);
    return CURL_SEEKFUNC_OK;
  }
};

CS3Client::CS3Client(Settings chosen)
    : settings(std::move(chosen)), signer(settings.accessKey, settings.secretKey, settings.region) {
  const std::string& endpoint = settings.endpoint;
  const std::size_t scheme = endpoint.find("://");
  if (scheme == std::string::npos || settings.maxAttempts < 1 || endpoint.ends_with("/")) {
    throw zel::CInvalidArgError(kSource, "bad S3 endpoint or attempt count",
                                zel::CProps().add("endpoint", zel::String::fromUTF8(endpoint)));
  }
  hostHeader = endpoint.substr(scheme + 3);
  hostHeader = hostHeader.substr(0, hostHeader.find('/'));
  initCurlOnce();
  multi = curl_multi_init();
  if (multi == nullptr) throw zel::CError("curl_multi_init failed", kSource);
  thread = std::thread([this] { run(); });
}

CS3Client::~CS3Client() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
  }
  curl_multi_wakeup(static_cast<CURLM*>(multi));
  thread.join();
  curl_multi_cleanup(static_cast<CURLM*>(multi));
}

void CS3Client::start(CS3Request request, Callback done) {
  auto transfer = std::make_unique<Transfer>();
  transfer->request = std::move(request);
  transfer->done = std::move(done);
  if (transfer->request.payloadHash.empty()) {
    const auto& body = transfer->request.body;
    transfer->request.payloadHash = body == nullptr
                                        ? CS3Signer::sha256Hex("", 0)
                                        : CS3Signer::sha256Hex(body->data(), body->size());
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (stopping) throw zel::CError("The S3 client is shutting down", kSource);
    incoming.push_back(std::move(transfer));
  }
  curl_multi_wakeup(static_cast<CURLM*>(multi));
}

CS3Response CS3Client::perform(CS3Request request) {
  auto promise = std::make_shared<std::promise<CS3Response>>();
  std::future<CS3Response> result = promise->get_future();
  start(std::move(request),
        [promise](CS3Response&& response) { promise->set_value(std::move(response)); });
  return result.get();
}

CS3Client::Kind CS3Client::kindOf(const CS3Request& request) {
  if (request.method == "HEAD") return Head;
  if (request.method == "DELETE") return Delete;
  if (request.method == "PUT") return request.headers.count("x-amz-copy-source") ? Copy : Put;
  return request.key.empty() ? List : Get;
}

bool CS3Client::isTransient(const CS3Response& response) {
  switch (response.status) {
    case 0:
    case 500:
    case 502:
    case 503:
    case 504:
      return true;
    default:
      return response.status >= 400 &&
             response.bodyText().find("<Code>SlowDown</Code>") != std::string::npos;
  }
}

void CS3Client::launch(Transfer& transfer) {
  const CS3Request& request = transfer.request;
  const int attempts = transfer.response.attempts + 1;
  transfer.response = CS3Response();
  transfer.response.attempts = attempts;
  transfer.uploaded = 0;
  transfer.errorText[0] = '\0';
  counts[static_cast<std::size_t>(kindOf(request))].fetch_add(1);

  std::string path = "/" + CS3Signer::uriEncode(request.bucket, false);
  if (!request.key.empty()) path += "/" + CS3Signer::uriEncode(request.key, true);
  std::vector<std::string> parameters;
  for (const auto& [name, value] : request.query) {
    parameters.push_back(CS3Signer::uriEncode(name, false) + "=" +
                         CS3Signer::uriEncode(value, false));
  }
  std::sort(parameters.begin(), parameters.end());
  std::string query;
  for (const std::string& parameter : parameters) {
    if (!query.empty()) query += '&';
    query += parameter;
  }

  std::map<std::string, std::string> headers = request.headers;
  headers["host"] = hostHeader;
  headers["x-amz-content-sha256"] = request.payloadHash;
  headers["x-amz-date"] = CS3Signer::formatDate(std::time(nullptr));
  const std::string authorization = signer.authorize(request.method, path, query, headers,
                                                     request.payloadHash, headers["x-amz-date"]);
  headers.erase("host");  // curl sends it from the URL, byte for byte the same
  for (const auto& [name, value] : headers)
    transfer.headerList = curl_slist_append(transfer.headerList, (name + ": " + value).c_str());
  transfer.headerList =
      curl_slist_append(transfer.headerList, ("authorization: " + authorization).c_str());
  // No "Expect: 100-continue" round trip before uploads.
  transfer.headerList = curl_slist_append(transfer.headerList, "Expect:");

  CURL* easy = curl_easy_init();
  if (easy == nullptr) throw zel::CError("curl_easy_init failed", kSource);
  transfer.easy = easy;
  const std::string url = settings.endpoint + path + (query.empty() ? "" : "?" + query);
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headerList);
  curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.errorText);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings.connectTimeoutMs));
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME,
                   static_cast<long>(std::max(1, settings.stallTimeoutMs / 1000)));
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
  if (request.method == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else if (request.method == "PUT") {
    static const std::vector<unsigned char> empty;
    if (transfer.request.body == nullptr) {
      transfer.request.body =
          std::shared_ptr<const std::vector<unsigned char>>(&empty, [](auto*) {});
    }
    curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, &Transfer::onUpload);
    curl_easy_setopt(easy, CURLOPT_READDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &Transfer::onSeek);
    curl_easy_setopt(easy, CURLOPT_SEEKDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE,
                     static_cast<curl_off_t>(transfer.request.body->size()));
  } else if (request.method != "GET") {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  if (curl_multi_add_handle(static_cast<CURLM*>(multi), easy) != CURLM_OK) {
    throw zel::CError("curl_multi_add_handle failed", kSource);
  }
}

void CS3Client::finish(std::unique_ptr<Transfer> transfer, int curlResult) {
  CS3Response& response = transfer->response;
  if (curlResult == CURLE_OK) {
    curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &response.status);
  } else {
    response.status = 0;
    response.transportError = transfer->errorText[0] != '\0'
                                  ? transfer->errorText
                                  : curl_easy_strerror(static_cast<CURLcode>(curlResult));
  }
  curl_multi_remove_handle(static_cast<CURLM*>(multi), transfer->easy);
  transfer->release();
  if (isTransient(response) && response.attempts < settings.maxAttempts) {
    // Full jitter: clients that failed together do not all come back together.
    thread_local std::mt19937 random{std::random_device{}()};
    const int ceiling =
        std::min(kMaxBackoffMs, settings.firstBackoffMs << std::min(response.attempts - 1, 16));
    const int waitMs =
        std::uniform_int_distribution<int>(ceiling / 2, std::max(ceiling, 1))(random);
    transfer->due = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    retries.fetch_add(1);
    delayed.push_back(std::move(transfer));
    return;
  }
  try {
    transfer->done(std::move(response));
  } catch (const std::exception& e) {
    zel::logError(e, "An S3 request's callback failed",
                  zel::String::fromUTF8(transfer->request.key));
  }
}

void CS3Client::run() {
  auto* handle = static_cast<CURLM*>(multi);
  for (;;) {
    std::vector<std::unique_ptr<Transfer>> arrived;
    bool stop;
    {
      std::lock_guard<std::mutex> lock(mutex);
      arrived.swap(incoming);
      stop = stopping;
    }
    if (stop) break;
    const auto now = std::chrono::steady_clock::now();
    for (auto it = delayed.begin(); it != delayed.end();) {
      if ((*it)->due <= now) {
        arrived.push_back(std::move(*it));
        it = delayed.erase(it);
      } else {
        ++it;
      }
    }
    for (auto& transfer : arrived) {
      try {
        launch(*transfer);
        void* key = transfer->easy;
        active[key] = std::move(transfer);
      } catch (const zel::CError& e) {
        transfer->response.transportError = e.getMessage().toUTF8();
        transfer->release();
        try {
          transfer->done(std::move(transfer->response));
        } catch (const std::exception& inner) {
          zel::logError(inner, "An S3 request's callback failed", zel::String());
        }
      }
    }
    int running = 0;
    curl_multi_perform(handle, &running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(handle, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      auto found = active.find(message->easy_handle);
      if (found == active.end()) continue;
      std::unique_ptr<Transfer> transfer = std::move(found->second);
      active.erase(found);
      finish(std::move(transfer), message->data.result);
    }
    int waitMs = kIdlePollMs;
    const auto later = std::chrono::steady_clock::now();
    for (const auto& transfer : delayed) {
      const auto until =
          std::chrono::duration_cast<std::chrono::milliseconds>(transfer->due - later).count();
      waitMs = std::clamp(static_cast<int>(until), 0, waitMs);
    }
    curl_multi_poll(handle, nullptr, 0, waitMs, nullptr);
  }
  // Shutting down: whatever is left is answered, never dropped.
  std::vector<std::unique_ptr<Transfer>> left;
  {
    std::lock_guard<std::mutex> lock(mutex);
    left.swap(incoming);
  }
  for (auto& [easy, transfer] : active) {
    curl_multi_remove_handle(handle, static_cast<CURL*>(easy));
    left.push_back(std::move(transfer));
  }
  active.clear();
  for (auto& transfer : delayed)
    left.push_back(std::move(transfer));
  delayed.clear();
  for (auto& transfer : left) {
    transfer->release();
    transfer->response.status = 0;
    transfer->response.transportError = "the S3 client was shut down";
    try {
      transfer->done(std::move(transfer->response));
    } catch (const std::exception& e) {
      zel::logError(e, "An S3 request's callback failed", zel::String());
    }
  }
}

}  // namespace s3
