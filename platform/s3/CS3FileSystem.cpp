#include "s3/CS3FileSystem.h"

#include <cstdlib>
#include <memory>

#include "s3/CS3ReadStream.h"
#include "s3/CS3WriteStream.h"
#include "zel/CAsyncOperation.h"
#include "zel/CInvalidArgError.h"
#include "zel/CStdExceptionError.h"
#include "zel/Log.h"

namespace zel {

namespace {

constexpr const char* kSource = "zel::CS3FileSystem";
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

CInvalidArgError invalidArgument(const char* operation, const char* message, CProps props) {
  return CInvalidArgError(String(kSource) + String("::") + String(operation), message,
                          std::move(props));
}

// Tells the caller's listener with the operation's error and then marks the handle
// done; what the completion pool calls.
class Completion final : public CBase, public virtual IDoneListener {
 public:
  Completion(P<IDoneListener> listener, P<CAsyncOperation> handle, P<CError> error)
      : listener(std::move(listener)), handle(std::move(handle)), error(std::move(error)) {}

  void onDone(const CError*) override {
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
  P<IDoneListener> listener;
  const P<CAsyncOperation> handle;
  const P<CError> error;
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
    throw CError("S3 needs AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY in the environment",
                 kSource);
  }
  return options;
}

CS3FileSystem::CS3FileSystem(const Options& options)
    : options(options), client(make<CS3Client>(options.client)), pool(options.completionThreads) {}

CS3FileSystem::~CS3FileSystem() {
  try {
    {
      std::unique_lock<std::mutex> lock(mutex);
      idle.wait(lock, [this] { return inFlight == 0; });
    }
    pool.shutdown();
  } catch (const std::exception& e) {
    onExceptionInDestructorIgnored(kSource, e, true);
  }
}

// --- names and errors ---

CS3FileSystem::Object CS3FileSystem::objectOf(const CURI& location) {
  if (location.getScheme() != L"s3" || location.getAuthority().empty()) {
    const CError cause("Not an s3:// location", kSource, -1,
                       CProps().add("uri", location.toString(true)));
    throw CFileSystemError(CFileSystemError::Unsupported, cause);
  }
  Object object;
  object.bucket = location.getAuthority().toUTF8();
  for (const String& component : location.getComponents()) {
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

CFileSystemError CS3FileSystem::makeError(const CS3Response& response, const char* operation,
                                          const Object& object) {
  CProps props;
  props.add("status", static_cast<std::int64_t>(response.status));
  props.add("bucket", String::fromUTF8(object.bucket));
  props.add("key", String::fromUTF8(object.key));
  props.add("operation", String(operation));
  std::string code;
  if (!response.body.empty()) {
    const std::string body = response.bodyText();
    std::size_t from = 0;
    code = nextElement(body, "Code", from);
  }
  if (!code.empty()) props.add("s3Code", String::fromUTF8(code));
  const std::string requestId = response.header("x-amz-request-id");
  if (!requestId.empty()) props.add("requestId", String::fromUTF8(requestId));
  if (!response.transportError.empty()) {
    props.add("transport", String::fromUTF8(response.transportError));
  }
  props.add("attempts", response.attempts);
  std::string message =
      "S3 " + std::string(operation) + " of " + object.bucket + "/" + object.key + " failed: ";
  message += response.status == 0 ? response.transportError
                                  : "HTTP " + std::to_string(response.status) +
                                        (code.empty() ? std::string() : " " + code);
  const CError cause(String::fromUTF8(message), kSource, response.status, props);
  CFileSystemError::Problem problem = CFileSystemError::Other;
  if (response.status == 404) problem = CFileSystemError::NotFound;
  if (response.status == 412) problem = CFileSystemError::AlreadyExists;
  return CFileSystemError(problem, cause);
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

P<CFileInfo> CS3FileSystem::getFileInfo(const CURI& location, int) {
  const Object object = objectOf(location);
  if (object.key.empty()) return make<CFileInfo>(0, true);
  CS3Response response = client->perform(makeRequest("HEAD", object));
  if (response.isSuccess()) {
    return make<CFileInfo>(std::stoll("0" + response.header("content-length")), false);
  }
  if (response.status != 404) throw makeError(response, "HEAD", object);
  if (hasKeysBelow(object)) return make<CFileInfo>(0, true);
  throw makeError(response, "HEAD", object);
}

P<IIOStream> CS3FileSystem::openStream(const CURI& location, int access, int mode) {
  // Every object is a regular file: there are no links, FIFOs or devices to refuse.
  mode &= ~OpenRegularOnly;
  const Object object = objectOf(location);
  if (object.key.empty()) {
    throw invalidArgument("openStream", "a bucket is no file",
                          CProps().add("uri", location.toString(true)));
  }
  if (access == IIOStream::AccessRead) {
    if (mode == CreateOrTruncate) {
      throw invalidArgument("openStream", "truncating needs write access",
                            CProps().add("access", access).add("mode", mode));
    }
    if (mode == OpenExisting) {
      return make<CS3ReadStream>(client, object, location, options.readWindow);
    }
  }
  return make<CS3WriteStream>(client, object, location, access, mode);
}

bool CS3FileSystem::createFolder(const CURI& location, int) {
  objectOf(location);
  return true;
}

bool CS3FileSystem::exists(const CURI& location) {
  return fileExists(location) || folderExists(location);
}

bool CS3FileSystem::fileExists(const CURI& location) {
  const Object object = objectOf(location);
  if (object.key.empty()) return false;
  CS3Response response = client->perform(makeRequest("HEAD", object));
  if (response.isSuccess()) return true;
  if (response.status == 404) return false;
  throw makeError(response, "HEAD", object);
}

bool CS3FileSystem::folderExists(const CURI& location) {
  const Object object = objectOf(location);
  if (object.key.empty()) return true;
  return hasKeysBelow(object);
}

void CS3FileSystem::deleteFile(const CURI& location, bool ignoreMissing) {
  const Object object = objectOf(location);
  if (!ignoreMissing) {
    CS3Response response = client->perform(makeRequest("HEAD", object));
    if (!response.isSuccess()) throw makeError(response, "HEAD", object);
  }
  CS3Response response = client->perform(makeRequest("DELETE", object));
  if (!response.isSuccess() && response.status != 404) throw makeError(response, "DELETE", object);
}

void CS3FileSystem::deleteFolder(const CURI& location) {
  const Object object = objectOf(location);
  if (hasKeysBelow(object)) {
    const CError cause("The folder is not empty", kSource, -1,
                       CProps().add("uri", location.toString(true)));
    throw CFileSystemError(CFileSystemError::Other, cause);
  }
}

std::vector<IFileSystem::FolderEntry> CS3FileSystem::listFolder(const CURI& location) {
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
        entries.push_back(FolderEntry{String::fromUTF8(key.substr(prefix.size())), false});
      }
    }
    for (std::size_t from = 0;;) {
      const std::string common = nextElement(body, "CommonPrefixes", from);
      if (from == std::string::npos) break;
      std::size_t inner = 0;
      std::string name = unescapeXml(nextElement(common, "Prefix", inner));
      if (name.size() <= prefix.size() + 1) continue;
      name = name.substr(prefix.size(), name.size() - prefix.size() - 1);
      entries.push_back(FolderEntry{String::fromUTF8(name), true});
    }
    std::size_t at = 0;
    const bool truncated = nextElement(body, "IsTruncated", at) == "true";
    at = 0;
    token = unescapeXml(nextElement(body, "NextContinuationToken", at));
    if (!truncated || token.empty()) break;
  }
  return entries;
}

CFileSystemError CS3FileSystem::lockedError(const Object& object,
                                            const CS3Lock::Body& found) const {
  const bool stale =
      CS3Lock::isStale(found, options.lockStaleAfter, std::chrono::system_clock::now());
  const CError cause("The lock is held by another holder", kSource, -1,
                     CProps()
                         .add("bucket", String::fromUTF8(object.bucket))
                         .add("key", String::fromUTF8(object.key))
                         .add("holder", String::fromUTF8(found.holder))
                         .add("stale", stale ? "true" : "false"));
  return CFileSystemError(CFileSystemError::Locked, cause);
}

P<IBase> CS3FileSystem::lockFile(const CURI& location, const String& holder) {
  const Object object = objectOf(location);
  if (object.key.empty()) {
    throw invalidArgument("lockFile", "a bucket is no file",
                          CProps().add("uri", location.toString(true)));
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
      return make<CS3Lock>(client, object.bucket, object.key, body, response.header("etag"),
                           options.lockRenewal);
    }
    if (response.status != 412) throw makeError(response, "PUT", object);
    CS3Response current = client->perform(makeRequest("GET", object));
    if (current.status == 404) continue;
    if (!current.isSuccess()) throw makeError(current, "GET", object);
    found = CS3Lock::parse(current.bodyText());
    // A retried PUT whose first attempt had succeeded: the lock is ours.
    if (found.token == body.token) {
      return make<CS3Lock>(client, object.bucket, object.key, body, current.header("etag"),
                           options.lockRenewal);
    }
    if (!current.body.empty()) break;
    // A free lock: taken by replacing exactly what was read.
    response = client->perform(
        CS3Lock::replaceIf(object.bucket, object.key, text, current.header("etag")));
    if (response.isSuccess()) {
      return make<CS3Lock>(client, object.bucket, object.key, body, response.header("etag"),
                           options.lockRenewal);
    }
    if (response.status != 412) throw makeError(response, "PUT", object);
  }
  throw lockedError(object, found);
}

void CS3FileSystem::breakLock(const CURI& location, bool force) {
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

void CS3FileSystem::sync(const CURI& folder) {
  // Only checks the location: every request that returned is stored on the server.
  objectOf(folder);
}

int CS3FileSystem::getCapabilities() const {
  return kCapabilities;
}

// --- asynchronous operations ---

P<IAsyncOperation> CS3FileSystem::begin(IDoneListener* listener,
                                        const std::function<void(Finish)>& body) {
  const P<CAsyncOperation> handle = make<CAsyncOperation>();
  const P<IDoneListener> kept(listener);
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++inFlight;
  }
  auto finished = std::make_shared<std::atomic<bool>>(false);
  Finish finish = [this, handle, kept, finished](const CError* error) {
    if (finished->exchange(true)) return;  // a second call would break "exactly once"
    const P<Completion> completion =
        make<Completion>(kept, handle, error != nullptr ? error->clone() : nullptr);
    try {
      pool.submit([] {}, completion.get());
    } catch (const std::exception& e) {
      // The pool is shut down (an operation started by a listener during the
      // destructor): tell the listener here, which is still not the starting call.
      logError(e, "S3 completion told outside the completion pool", String());
      try {
        completion->onDone(nullptr);
      } catch (const std::exception& inner) {
        logError(inner, "An S3 operation's listener failed", String());
      }
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (--inFlight == 0) idle.notify_all();
  };
  try {
    body(finish);
  } catch (const CError& e) {
    finish(&e);
  } catch (const std::exception& e) {
    const CStdExceptionError wrapped(e);
    finish(&wrapped);
  }
  return handle;
}

P<IAsyncOperation> CS3FileSystem::moveAsync(const CURI& source, const CURI& target, int flags,
                                            IDoneListener* listener) {
  return begin(listener, [this, source, target, flags](Finish finish) {
    if (flags != MoveNoReplace && flags != MoveReplace) {
      throw invalidArgument("moveAsync", "unknown move flags", CProps().add("flags", flags));
    }
    const Object from = objectOf(source);
    const Object to = objectOf(target);
    auto removeSource = [this, from, finish](CS3Response&& response) {
      if (!response.isSuccess() && response.status != 404) {
        const CFileSystemError error = makeError(response, "DELETE", from);
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
              const CFileSystemError error =
                  makeError(response, "COPY", response.status == 404 ? from : to);
              finish(&error);
              return;
            }
            try {
              client->start(makeRequest("DELETE", from), removeSource);
            } catch (const CError& e) {
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
        const CFileSystemError error = makeError(response, "HEAD", to);
        finish(&error);
        return;
      }
      if (response.status != 404) {
        const CFileSystemError error = makeError(response, "HEAD", to);
        finish(&error);
        return;
      }
      try {
        copy();
      } catch (const CError& e) {
        finish(&e);
      }
    });
  });
}

P<IAsyncOperation> CS3FileSystem::createFolderAsync(const CURI& location, int,
                                                    IDoneListener* listener) {
  return begin(listener, [location](Finish finish) {
    objectOf(location);
    finish(nullptr);
  });
}

P<IAsyncOperation> CS3FileSystem::storeStreamAsync(const CURI& target, std::int64_t length,
                                                   P<IInStream> source, bool replace,
                                                   IDoneListener* listener) {
  return begin(listener, [this, target, length, source, replace](Finish finish) {
    if (length < 0 || source == nullptr) {
      throw invalidArgument("storeStreamAsync", "negative length or no source",
                            CProps().add("length", length));
    }
    const Object object = objectOf(target);
    if (object.key.empty()) {
      throw invalidArgument("storeStreamAsync", "a bucket is no file", CProps());
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
          } catch (const CError& e) {
            const CError cause("The source of a store failed", kSource, -1,
                               CProps().add("key", String::fromUTF8(object.key)), &e);
            const CFileSystemError error(CFileSystemError::Other, cause);
            finish(&error);
            return;
          } catch (const std::exception& e) {
            const CStdExceptionError wrapped(e);
            const CFileSystemError error(CFileSystemError::Other, wrapped);
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
                const CFileSystemError error = makeError(response, "PUT", object);
                finish(&error);
              }
            });
          } catch (const CError& e) {
            finish(&e);
          }
        },
        nullptr);
  });
}

P<IAsyncOperation> CS3FileSystem::deleteAsync(const CURI& location, IDoneListener* listener) {
  return begin(listener, [this, location](Finish finish) {
    const Object object = objectOf(location);
    client->start(makeRequest("DELETE", object), [object, finish](CS3Response&& response) {
      // Deleting is idempotent: what is not there counts as deleted.
      if (response.isSuccess() || response.status == 404) {
        finish(nullptr);
      } else {
        const CFileSystemError error = makeError(response, "DELETE", object);
        finish(&error);
      }
    });
  });
}

}  // namespace zel
