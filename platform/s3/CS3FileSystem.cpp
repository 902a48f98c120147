#include "s3/CS3FileSystem.h"

#include <chrono>
#include <cstdlib>
#include <memory>

#include "s3/CS3ReadStream.h"
#include "s3/CS3WriteStream.h"
#include "zel/CAsyncOperation.h"
#include "zel/CInvalidArgError.h"
#include "zel/CStdExceptionError.h"
#include "zel/Log.h"

namespace s3 {

namespace {

constexpr const char* kSource = "s3::CS3FileSystem";
// Bytes read from a store's source at a time.
constexpr std::int64_t kCopyChunk = 256 * 1024;

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

// The text between the first <tag> and its </tag> at or after `from`; `from` moves
// past it. Empty with `from` at npos when there is none.
std::string nextElement(const std::string& xml, const std::string& tag, std::size_t& from) {
  const std::string open = "<" + tag + ">";
  const std::string close = "</" + tag + ">";
  const std::size_t begin = xml.find(open, from);
  if (begin == std::string::npos) {
    from = std::string::npos;
    return std::string();
  }
  const std::size_t end = xml.find(close, begin + open.size());
  if (end == std::string::npos) {
    from = std::string::npos;
    return std::string();
  }
  from = end + close.size();
  return xml.substr(begin + open.size(), end - begin - open.size());
}

std::string unescapeXml(const std::string& text) {
  if (text.find('&') == std::string::npos) return text;
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    static const std::pair<const char*, char> entities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    bool replaced = false;
    for (const auto& [entity, character] : entities) {
      if (text.compare(i, std::char_traits<char>::length(entity), entity) == 0) {
        out.push_back(character);
        i += std::char_traits<char>::length(entity) - 1;
        replaced = true;
        break;
      }
    }
    if (!replaced) out.push_back(text[i]);
  }
  return out;
}

zel::CInvalidArgError invalidArgument(const char* operation, const char* message,
                                      zel::CProps props) {
  return zel::CInvalidArgError(zel::String(kSource) + zel::String("::") + zel::String(operation),
                               message, std::move(props));
}

// Tells the caller's listener with the operation's error and then marks the handle
// done; what the completion pool calls.
class Completion final : public zel::CBase, public virtual zel::IDoneListener {
 public:
  Completion(zel::P<zel::IDoneListener> listener, zel::P<zel::CAsyncOperation> handle,
             zel::P<zel::CError> error)
      : listener(std::move(listener)), handle(std::move(handle)), error(std::move(error)) {}

  void onDone(const zel::CError*) override {
    struct MarkDone {
      Completion& self;
      ~MarkDone() {
        self.listener = nullptr;
        self.handle->markDone();
      }
    } markDone{*this};
    if (listener != nullptr) listener->onDone(error.get());
  }

 private:
  // Touched by the one pool thread that runs onDone.
  zel::P<zel::IDoneListener> listener;
  const zel::P<zel::CAsyncOperation> handle;
  const zel::P<zel::CError> error;
};

}  // namespace

CS3FileSystem::Options CS3FileSystem::optionsFromEnvironment() {
  Options options;
  CS3Client::Settings& settings = options.client;
  settings.region = environment("AWS_DEFAULT_REGION");
  if (settings.region.empty()) settings.region = environment("AWS_REGION");
  if (settings.region.empty()) settings.region = "us-east-1";
  settings.endpoint = environment("AWS_ENDPOINT_URL");
  if (settings.endpoint.empty())
    settings.endpoint = "https://s3." + settings.region + ".amazonaws.com";
  while (settings.endpoint.ends_with("/"))
    settings.endpoint.pop_back();
  settings.accessKey = environment("AWS_ACCESS_KEY_ID");
  settings.secretKey = environment("AWS_SECRET_ACCESS_KEY");
  if (settings.accessKey.empty() || settings.secretKey.empty()) {
    throw zel::CError("S3 needs AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY in the environment",
                      kSource);
  }
  return options;
}

CS3FileSystem::CS3FileSystem(const Options& options)
    : options(options),
      client(zel::make<CS3Client>(options.client)),
      pool(options.completionThreads) {}

CS3FileSystem::~CS3FileSystem() {
  try {
    // Dropped by a listener, this runs on a completion thread, and the operations it
    // waits for may have work queued behind it on the pool: that thread runs it here.
    const bool onPoolThread = pool.isPoolThread();
    std::unique_lock<std::mutex> lock(mutex);
    while (inFlight != 0) {
      if (!onPoolThread) {
        idle.wait(lock, [this] { return inFlight == 0; });
        break;
      }
      lock.unlock();
      pool.runQueued();
      lock.lock();
      idle.wait_for(lock, std::chrono::milliseconds(5), [this] { return inFlight == 0; });
    }
    lock.unlock();
    pool.shutdown();
  } catch (const std::exception& e) {
    zel::onExceptionInDestructorIgnored(kSource, e, true);
  }
}

// --- names and errors ---

CS3FileSystem::Object CS3FileSystem::objectOf(const zel::CURI& location) {
  if (location.getScheme() != L"s3" || location.getAuthority().empty()) {
    const zel::CError cause("Not an s3:// location", kSource, -1,
                            zel::CProps().add("uri", location.toString(true)));
    throw zel::CFileSystemError(zel::CFileSystemError::Unsupported, cause);
  }
  Object object;
  object.bucket = location.getAuthority().toUTF8();
  for (const zel::String& component : location.getComponents()) {
    if (!object.key.empty()) object.key += '/';
    object.key += component.toUTF8();
  }
  return object;
}

CS3Request CS3FileSystem::makeRequest(const char* method, const Object& object) {
  CS3Request request;
  request.method = method;
  request.bucket = object.bucket;
  request.key = object.key;
  return request;
}

zel::CFileSystemError CS3FileSystem::makeError(const CS3Response& response, const char* operation,
                                               const Object& object) {
  zel::CProps props;
  props.add("status", static_cast<std::int64_t>(response.status));
  props.add("bucket", zel::String::fromUTF8(object.bucket));
  props.add("key", zel::String::fromUTF8(object.key));
  props.add("operation", zel::String(operation));
  std::string code;
  if (!response.body.empty()) {
    const std::string body = response.bodyText();
    std::size_t from = 0;
    code = nextElement(body, "Code", from);
  }
  if (!code.empty()) props.add("s3Code", zel::String::fromUTF8(code));
  const std::string requestId = response.header("x-amz-request-id");
  if (!requestId.empty()) props.add("requestId", zel::String::fromUTF8(requestId));
  if (!response.transportError.empty()) {
    props.add("transport", zel::String::fromUTF8(response.transportError));
  }
  props.add("attempts", response.attempts);
  std::string message =
      "S3 " + std::string(operation) + " of " + object.bucket + "/" + object.key + " failed: ";
  message += response.status == 0 ? response.transportError
                                  : "HTTP " + std::to_string(response.status) +
                                        (code.empty() ? std::string() : " " + code);
  const zel::CError cause(zel::String::fromUTF8(message), kSource, response.status, props);
  zel::CFileSystemError::Problem problem = zel::CFileSystemError::Other;
  if (response.status == 404) problem = zel::CFileSystemError::NotFound;
  if (response.status == 412) problem = zel::CFileSystemError::AlreadyExists;
  return zel::CFileSystemError(problem, cause);
}

// --- synchronous operations ---

bool CS3FileSystem::hasKeysBelow(const Object& folder) {
  CS3Request request = makeRequest("GET", Object{folder.bucket, std::string()});
  request.query = {{"list-type", "2"},
                   {"max-keys", "1"},
                   {"prefix", folder.key.empty() ? std::string() : folder.key + "/"}};
  CS3Response response = client->perform(std::move(request));
  if (!response.isSuccess()) throw makeError(response, "LIST", folder);
  const std::string body = response.bodyText();
  return body.find("<Key>") != std::string::npos;
}

zel::P<zel::CFileInfo> CS3FileSystem::getFileInfo(const zel::CURI& location, int) {
  const Object object = objectOf(location);
  if (object.key.empty()) return zel::make<zel::CFileInfo>(0, true);
  CS3Response response = client->perform(makeRequest("HEAD", object));
  if (response.isSuccess()) {
    return zel::make<zel::CFileInfo>(std::stoll("0" + response.header("content-length")), false);
  }
  if (response.status != 404) throw makeError(response, "HEAD", object);
  if (hasKeysBelow(object)) return zel::make<zel::CFileInfo>(0, true);
  throw makeError(response, "HEAD", object);
}

zel::P<zel::IIOStream> CS3FileSystem::openStream(const zel::CURI& location, int access, int mode) {
  // Every object is a regular file: there are no links, FIFOs or devices to refuse.
  mode &= ~OpenRegularOnly;
  const Object object = objectOf(location);
  if (object.key.empty()) {
    throw invalidArgument("openStream", "a bucket is no file",
                          zel::CProps().add("uri", location.toString(true)));
  }
  if (access == zel::IIOStream::AccessRead) {
    if (mode == CreateOrTruncate) {
      throw invalidArgument("openStream", "truncating needs write access",
                            zel::CProps().add("access", access).add("mode", mode));
    }
    if (mode == OpenExisting) {
      return zel::make<CS3ReadStream>(client, object, location, options.readWindow);
    }
  }
  return zel::make<CS3WriteStream>(client, object, location, access, mode);
}

bool CS3FileSystem::createFolder(const zel::CURI& location, int) {
  objectOf(location);
  return true;
}

bool CS3FileSystem::exists(const zel::CURI& location) {
  return fileExists(location) || folderExists(location);
}

bool CS3FileSystem::fileExists(const zel::CURI& location) {
  const Object object = objectOf(location);
  if (object.key.empty()) return false;
  CS3Response response = client->perform(makeRequest("HEAD", object));
  if (response.isSuccess()) return true;
  if (response.status == 404) return false;
  throw makeError(response, "HEAD", object);
}

bool CS3FileSystem::folderExists(const zel::CURI& location) {
  const Object object = objectOf(location);
  if (object.key.empty()) return true;
  return hasKeysBelow(object);
}

void CS3FileSystem::deleteFile(const zel::CURI& location, bool ignoreMissing) {
  const Object object = objectOf(location);
  if (!ignoreMissing) {
    CS3Response response = client->perform(makeRequest("HEAD", object));
    if (!response.isSuccess()) throw makeError(response, "HEAD", object);
  }
  CS3Response response = client->perform(makeRequest("DELETE", object));
  if (!response.isSuccess() && response.status != 404) throw makeError(response, "DELETE", object);
}

void CS3FileSystem::deleteFolder(const zel::CURI& location) {
  const Object object = objectOf(location);
  if (hasKeysBelow(object)) {
    const zel::CError cause("The folder is not empty", kSource, -1,
                            zel::CProps().add("uri", location.toString(true)));
    throw zel::CFileSystemError(zel::CFileSystemError::Other, cause);
  }
}

std::vector<zel::IFileSystem::FolderEntry> CS3FileSystem::listFolder(const zel::CURI& location) {
  const Object object = objectOf(location);
  const std::string prefix = object.key.empty() ? std::string() : object.key + "/";
  std::vector<FolderEntry> entries;
  std::string token;
  for (;;) {
    CS3Request request = makeRequest("GET", Object{object.bucket, std::string()});
    request.query = {{"list-type", "2"}, {"delimiter", "/"}, {"prefix", prefix}};
    if (!token.empty()) request.query.emplace_back("continuation-token", token);
    CS3Response response = client->perform(std::move(request));
    if (!response.isSuccess()) throw makeError(response, "LIST", object);
    const std::string body = response.bodyText();
    for (std::size_t from = 0;;) {
      const std::string contents = nextElement(body, "Contents", from);
      if (from == std::string::npos) break;
      std::size_t inner = 0;
      const std::string key = unescapeXml(nextElement(contents, "Key", inner));
      if (key.size() > prefix.size()) {
        entries.push_back(FolderEntry{zel::String::fromUTF8(key.substr(prefix.size())), false});
      }
    }
    for (std::size_t from = 0;;) {
      const std::string common = nextElement(body, "CommonPrefixes", from);
      if (from == std::string::npos) break;
      std::size_t inner = 0;
      std::string name = unescapeXml(nextElement(common, "Prefix", inner));
      if (name.size() <= prefix.size() + 1) continue;
      name = name.substr(prefix.size(), name.size() - prefix.size() - 1);
      entries.push_back(FolderEntry{zel::String::fromUTF8(name), true});
    }
    std::size_t at = 0;
    const bool truncated = nextElement(body, "IsTruncated", at) == "true";
    at = 0;
    token = unescapeXml(nextElement(body, "NextContinuationToken", at));
    if (!truncated || token.empty()) break;
  }
  return entries;
}

zel::CFileSystemError CS3FileSystem::lockedError(const Object& object,
                                                 const CS3Lock::Body& found) const {
  const bool stale =
      CS3Lock::isStale(found, options.lockStaleAfter, std::chrono::system_clock::now());
  const zel::CError cause("The lock is held by another holder", kSource, -1,
                          zel::CProps()
                              .add("bucket", zel::String::fromUTF8(object.bucket))
                              .add("key", zel::String::fromUTF8(object.key))
                              .add("holder", zel::String::fromUTF8(found.holder))
                              .add("stale", stale ? "true" : "false"));
  return zel::CFileSystemError(zel::CFileSystemError::Locked, cause);
}

zel::P<zel::IBase> CS3FileSystem::lockFile(const zel::CURI& location, const zel::String& holder) {
  const Object object = objectOf(location);
  if (object.key.empty()) {
    throw invalidArgument("lockFile", "a bucket is no file",
                          zel::CProps().add("uri", location.toString(true)));
  }
  CS3Lock::Body body{holder.toUTF8(), CS3Lock::newToken(), -1};
  // Each round reads the state anew; a lock freed and taken by others in between
  // costs another round, a few at most.
  constexpr int kRounds = 3;
  CS3Lock::Body found;
  for (int round = 0; round < kRounds; ++round) {
    body.renewed = CS3Lock::unixNow();
    const std::string text = CS3Lock::format(body);
    CS3Request create = makeRequest("PUT", object);
    create.headers.emplace("if-none-match", kAnyETag);
    create.body = std::make_shared<std::vector<unsigned char>>(text.begin(), text.end());
    CS3Response response = client->perform(std::move(create));
    if (response.isSuccess()) {
      return zel::make<CS3Lock>(client, object.bucket, object.key, body, response.header("etag"),
                                options.lockRenewal);
    }
    if (response.status != 412) throw makeError(response, "PUT", object);
    CS3Response current = client->perform(makeRequest("GET", object));
    if (current.status == 404) continue;
    if (!current.isSuccess()) throw makeError(current, "GET", object);
    found = CS3Lock::parse(current.bodyText());
    // A retried PUT whose first attempt had succeeded: the lock is ours.
    if (found.token == body.token) {
      return zel::make<CS3Lock>(client, object.bucket, object.key, body, current.header("etag"),
                                options.lockRenewal);
    }
    if (!current.body.empty()) break;
    // A free lock: taken by replacing exactly what was read.
    response = client->perform(
        CS3Lock::replaceIf(object.bucket, object.key, text, current.header("etag")));
    if (response.isSuccess()) {
      return zel::make<CS3Lock>(client, object.bucket, object.key, body, response.header("etag"),
                                options.lockRenewal);
    }
    if (response.status != 412) throw makeError(response, "PUT", object);
  }
  throw lockedError(object, found);
}

void CS3FileSystem::breakLock(const zel::CURI& location, bool force) {
  const Object object = objectOf(location);
  CS3Lock::Body found;
  // As in lockFile: a lock that changes between our GET and PUT is read again.
  for (int round = 0; round < 3; ++round) {
    CS3Response current = client->perform(makeRequest("GET", object));
    if (current.status == 404 || (current.isSuccess() && current.body.empty())) return;
    if (!current.isSuccess()) throw makeError(current, "GET", object);
    found = CS3Lock::parse(current.bodyText());
    if (!force &&
        !CS3Lock::isStale(found, options.lockStaleAfter, std::chrono::system_clock::now())) {
      break;
    }
    CS3Response freed = client->perform(
        CS3Lock::replaceIf(object.bucket, object.key, std::string(), current.header("etag")));
    if (freed.isSuccess()) return;
    if (freed.status != 412) throw makeError(freed, "PUT", object);
  }
  throw lockedError(object, found);
}

void CS3FileSystem::sync(const zel::CURI& folder) {
  // Only checks the location: every request that returned is stored on the server.
  objectOf(folder);
}

int CS3FileSystem::getCapabilities() const {
  return kCapabilities;
}

// --- asynchronous operations ---

zel::P<zel::IAsyncOperation> CS3FileSystem::begin(zel::IDoneListener* listener,
                                                  const std::function<void(Finish)>& body) {
  const zel::P<zel::CAsyncOperation> handle = zel::make<zel::CAsyncOperation>();
  const zel::P<zel::IDoneListener> kept(listener);
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++inFlight;
  }
  auto finished = std::make_shared<std::atomic<bool>>(false);
  Finish finish = [this, handle, kept, finished](const zel::CError* error) {
    if (finished->exchange(true)) return;  // a second call would break "exactly once"
    const zel::P<Completion> completion =
        zel::make<Completion>(kept, handle, error != nullptr ? error->clone() : nullptr);
    try {
      pool.submit([] {}, completion.get());
    } catch (const std::exception& e) {
      // The pool is shut down (an operation started by a listener during the
      // destructor): tell the listener here, which is still not the starting call.
      zel::logError(e, "S3 completion told outside the completion pool", zel::String());
      try {
        completion->onDone(nullptr);
      } catch (const std::exception& inner) {
        zel::logError(inner, "An S3 operation's listener failed", zel::String());
      }
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (--inFlight == 0) idle.notify_all();
  };
  try {
    body(finish);
  } catch (const zel::CError& e) {
    finish(&e);
  } catch (const std::exception& e) {
    const zel::CStdExceptionError wrapped(e);
    finish(&wrapped);
  }
  return handle;
}

zel::P<zel::IAsyncOperation> CS3FileSystem::moveAsync(const zel::CURI& source,
                                                      const zel::CURI& target, int flags,
                                                      zel::IDoneListener* listener) {
  return begin(listener, [this, source, target, flags](Finish finish) {
    if (flags != MoveNoReplace && flags != MoveReplace) {
      throw invalidArgument("moveAsync", "unknown move flags", zel::CProps().add("flags", flags));
    }
    const Object from = objectOf(source);
    const Object to = objectOf(target);
    auto removeSource = [this, from, finish](CS3Response&& response) {
      if (!response.isSuccess() && response.status != 404) {
        const zel::CFileSystemError error = makeError(response, "DELETE", from);
        finish(&error);
      } else {
        finish(nullptr);
      }
    };
    auto copy = [this, from, to, finish, removeSource] {
      CS3Request request = makeRequest("PUT", to);
      request.headers["x-amz-copy-source"] = "/" + CS3Signer::uriEncode(from.bucket, false) + "/" +
                                             CS3Signer::uriEncode(from.key, true);
      client->start(
          std::move(request), [this, from, to, finish, removeSource](CS3Response&& response) {
            // A COPY can fail after its 200 has begun: the error is then in the body.
            if (!response.isSuccess() || response.bodyText().find("<Error>") != std::string::npos) {
              if (response.isSuccess()) response.status = 500;
              const zel::CFileSystemError error =
                  makeError(response, "COPY", response.status == 404 ? from : to);
              finish(&error);
              return;
            }
            try {
              client->start(makeRequest("DELETE", from), removeSource);
            } catch (const zel::CError& e) {
              finish(&e);
            }
          });
    };
    if (flags == MoveReplace) {
      copy();
      return;
    }
    // COPY cannot be made conditional on the target: look first (see the class comment).
    client->start(makeRequest("HEAD", to), [this, to, finish, copy](CS3Response&& response) {
      if (response.isSuccess()) {
        response.status = 412;
        const zel::CFileSystemError error = makeError(response, "HEAD", to);
        finish(&error);
        return;
      }
      if (response.status != 404) {
        const zel::CFileSystemError error = makeError(response, "HEAD", to);
        finish(&error);
        return;
      }
      try {
        copy();
      } catch (const zel::CError& e) {
        finish(&e);
      }
    });
  });
}

zel::P<zel::IAsyncOperation> CS3FileSystem::createFolderAsync(const zel::CURI& location, int,
                                                              zel::IDoneListener* listener) {
  return begin(listener, [location](Finish finish) {
    objectOf(location);
    finish(nullptr);
  });
}

zel::P<zel::IAsyncOperation> CS3FileSystem::storeStreamAsync(const zel::CURI& target,
                                                             std::int64_t length,
                                                             zel::P<zel::IInStream> source,
                                                             bool replace,
                                                             zel::IDoneListener* listener) {
  return begin(listener, [this, target, length, source, replace](Finish finish) {
    if (length < 0 || source == nullptr) {
      throw invalidArgument("storeStreamAsync", "negative length or no source",
                            zel::CProps().add("length", length));
    }
    const Object object = objectOf(target);
    if (object.key.empty()) {
      throw invalidArgument("storeStreamAsync", "a bucket is no file", zel::CProps());
    }
    // The source is read on a completion thread, as the caller expects, and never on
    // the client's thread.
    pool.submit(
        [this, object, length, source, replace, finish] {
          auto body = std::make_shared<std::vector<unsigned char>>();
          try {
            body->resize(static_cast<std::size_t>(length));
            for (std::int64_t done = 0; done < length;) {
              const int piece = static_cast<int>(std::min(length - done, kCopyChunk));
              source->read(body->data() + done, piece);
              done += piece;
            }
          } catch (const zel::CError& e) {
            const zel::CError cause("The source of a store failed", kSource, -1,
                                    zel::CProps().add("key", zel::String::fromUTF8(object.key)),
                                    &e);
            const zel::CFileSystemError error(zel::CFileSystemError::Other, cause);
            finish(&error);
            return;
          } catch (const std::exception& e) {
            const zel::CStdExceptionError wrapped(e);
            const zel::CFileSystemError error(zel::CFileSystemError::Other, wrapped);
            finish(&error);
            return;
          }
          CS3Request request = makeRequest("PUT", object);
          if (!replace) request.headers.emplace("if-none-match", CS3FileSystem::kAnyETag);
          request.body = body;
          try {
            client->start(std::move(request), [object, finish](CS3Response&& response) {
              if (response.isSuccess()) {
                finish(nullptr);
              } else {
                const zel::CFileSystemError error = makeError(response, "PUT", object);
                finish(&error);
              }
            });
          } catch (const zel::CError& e) {
            finish(&e);
          }
        },
        nullptr);
  });
}

zel::P<zel::IAsyncOperation> CS3FileSystem::deleteAsync(const zel::CURI& location,
                                                        zel::IDoneListener* listener) {
  return begin(listener, [this, location](Finish finish) {
    const Object object = objectOf(location);
    client->start(makeRequest("DELETE", object), [object, finish](CS3Response&& response) {
      // Deleting is idempotent: what is not there counts as deleted.
      if (response.isSuccess() || response.status == 404) {
        finish(nullptr);
      } else {
        const zel::CFileSystemError error = makeError(response, "DELETE", object);
        finish(&error);
      }
    });
  });
}

}  // namespace s3
