#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "s3/CS3Client.h"
#include "s3/CS3Lock.h"
#include "zel/CBase.h"
#include "zel/CCompletionPool.h"
#include "zel/CFileSystemError.h"
#include "zel/IFileSystem.h"

namespace s3 {

// zel::IFileSystem on an S3 object store (path-style addressing, Signature Version 4).
//
// Locations are zel::CURIs "s3://bucket/a/b": the authority is the bucket, the path
// components joined by '/' (UTF-8) are the object key. Any other location fails with
// CFileSystemError Unsupported. The bucket must exist.
//
// Folders are key prefixes. createFolder and createFolderAsync write nothing and always
// succeed (true); a folder exists while some key lies below it (a listing with
// max-keys=1), so an empty folder does not exist, listFolder gives no entries for it
// (not NotFound) and deleteFolder only checks that nothing lies below. Stores and
// streams never check that the parent folder exists.
//
// Mapping: getFileInfo and fileExists are HEAD (a folder costs a listing after a 404);
// openStream for reading is a ranged GET of the first Options::readWindow bytes and
// further ranged GETs when the reader goes beyond them; writing streams keep the whole
// file in memory and PUT it on flush() and close() (and from the destructor, whose
// failure is only logged); OpenRegularOnly changes nothing, every object being a
// regular file. storeStreamAsync is one PUT: replace false sends
// "If-None-Match: *" (412 is AlreadyExists, atomically so on the server). moveAsync is
// HEAD of the target (MoveNoReplace only; 200 is AlreadyExists), a server-side COPY
// (404 is NotFound) and a DELETE of the source. COPY cannot be made conditional on
// the target, so two racing moves to one target can both copy: the later copy wins
// and both report success (the race the HEAD leaves open). A crash between COPY and
// DELETE leaves both keys with identical contents. deleteAsync is a DELETE (a missing
// key counts as deleted); deleteFile without ignoreMissing HEADs first.
//
// Locks (lockFile, breakLock) are objects whose body names the holder, renewed by it
// and changed only by PUTs conditional on the ETag last read; CS3Lock describes the
// body, the renewal and why no DELETE. lockFile is a PUT with "If-None-Match: *". On
// 412 a GET reads the object: our own token means a retried PUT had won after all; an
// empty (free) lock is taken with "If-Match"; anything else is Locked, with the
// properties "holder" (the holder's text) and "stale" ("true" when not renewed for
// Options::lockStaleAfter). breakLock GETs the object: missing or free, nothing to do;
// stale (or `force`), it is emptied with "If-Match"; otherwise Locked as above.
//
// Durability: a request that returned success is stored on the server, so sync() has
// nothing to do. Capabilities (kCapabilities): AtomicNoReplaceStore and Durable; no
// AtomicMove (COPY and DELETE, above) and no LocksEndWithHolder (locks go stale).
//
// Errors: HTTP 404 is NotFound, 412 AlreadyExists, anything else Other. The cause is a
// zel::CError with the properties "status", "bucket", "key", "operation" and, when the
// server sent them, "s3Code" (NoSuchKey, ...) and "requestId"; a connection failure
// has "status" 0 and "transport" with curl's message. Retries: see CS3Client.
//
// Asynchronous operations send their requests on the client's thread (curl's multi
// interface; many at once) and tell their listeners on a zel::CCompletionPool of
// their own: exactly once, never inside the starting call. The destructor waits for
// every started operation to end, listeners included. It must not run on one of the
// pool's own threads while operations are still in flight.
//
// Thread-safe: every operation may be called from any thread, also from a completion.
class CS3FileSystem final : public zel::CBase, public virtual zel::IFileSystem {
 public:
  struct Options {
    CS3Client::Settings client;
    int completionThreads = 2;
    // Bytes a reading stream fetches per GET.
    std::int64_t readWindow = 1 << 20;
    // How often a lock's holder renews it, and how long after its last renewal others
    // may break it (tests shorten both).
    std::chrono::milliseconds lockRenewal = CS3Lock::kRenewalInterval;
    std::chrono::milliseconds lockStaleAfter = CS3Lock::kStaleAfter;
  };

  // Options from AWS_ENDPOINT_URL (default "https://s3.<region>.amazonaws.com"),
  // AWS_DEFAULT_REGION (or AWS_REGION; default "us-east-1"), AWS_ACCESS_KEY_ID and
  // AWS_SECRET_ACCESS_KEY. Throws zel::CError when the keys are missing.
  static Options optionsFromEnvironment();

  explicit CS3FileSystem(const Options& options);
  ~CS3FileSystem() override;
  CS3FileSystem(const CS3FileSystem&) = delete;
  CS3FileSystem& operator=(const CS3FileSystem&) = delete;

  const Options& getOptions() const noexcept { return options; }
  // The client, for its request counters.
  CS3Client& getClient() noexcept { return *client; }

  // --- IFileSystem, synchronous ---
  zel::P<zel::CFileInfo> getFileInfo(const zel::CURI& location, int flags) override;
  zel::P<zel::IIOStream> openStream(const zel::CURI& location, int access, int mode) override;
  bool createFolder(const zel::CURI& location, int permissions) override;
  bool exists(const zel::CURI& location) override;
  bool fileExists(const zel::CURI& location) override;
  bool folderExists(const zel::CURI& location) override;
  void deleteFile(const zel::CURI& location, bool ignoreMissing) override;
  // Other when a key lies below the folder.
  void deleteFolder(const zel::CURI& location) override;
  std::vector<FolderEntry> listFolder(const zel::CURI& location) override;
  // A CS3Lock; see above.
  zel::P<zel::IBase> lockFile(const zel::CURI& location, const zel::String& holder) override;
  void breakLock(const zel::CURI& location, bool force) override;
  // Nothing to wait for; see above.
  void sync(const zel::CURI& folder) override;
  int getCapabilities() const override;

  // --- IFileSystem, asynchronous ---
  zel::P<zel::IAsyncOperation> moveAsync(const zel::CURI& source, const zel::CURI& target,
                                         int flags, zel::IDoneListener* listener) override;
  zel::P<zel::IAsyncOperation> createFolderAsync(const zel::CURI& location, int permissions,
                                                 zel::IDoneListener* listener) override;
  // The source is read on a completion thread into memory, then sent in one PUT.
  zel::P<zel::IAsyncOperation> storeStreamAsync(const zel::CURI& target, std::int64_t length,
                                                zel::P<zel::IInStream> source, bool replace,
                                                zel::IDoneListener* listener) override;
  zel::P<zel::IAsyncOperation> deleteAsync(const zel::CURI& location,
                                           zel::IDoneListener* listener) override;

  // --- helpers, also for the streams and the tests ---

  // What getCapabilities() answers: the same for every S3 file system.
  static constexpr int kCapabilities = AtomicNoReplaceStore | Durable;

  // The If-None-Match value of a store that must not replace anything.
  static inline const std::string kAnyETag = "*";

  struct Object {
    std::string bucket;
    std::string key;  // empty for the bucket's root
  };
  // The bucket and key of an s3 location; Unsupported for others.
  static Object objectOf(const zel::CURI& location);
  // The error for a failed response; see above.
  static zel::CFileSystemError makeError(const CS3Response& response, const char* operation,
                                         const Object& object);
  // A request on one object.
  static CS3Request makeRequest(const char* method, const Object& object);

 private:
  // Ends an operation: called exactly once with its error (null on success).
  using Finish = std::function<void(const zel::CError* error)>;

  // Starts an operation whose body starts requests and calls Finish once.
  zel::P<zel::IAsyncOperation> begin(zel::IDoneListener* listener,
                                     const std::function<void(Finish)>& body);
  // True when some key lies below the folder.
  bool hasKeysBelow(const Object& folder);
  // Locked, with what the lock object says.
  zel::CFileSystemError lockedError(const Object& object, const CS3Lock::Body& found) const;

  const Options options;
  const zel::P<CS3Client> client;  // thread-safe itself
  zel::CCompletionPool pool;       // thread-safe itself

  std::mutex mutex;  // guards inFlight
  std::condition_variable idle;
  int inFlight = 0;  // operations started whose completion is not yet queued on the pool
};

}  // namespace s3
