#include "zel/CLocalFileSystem.h"

#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <system_error>
#include <vector>

#include "zel/CError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CLocalFileStream.h"
#include "zel/CStdExceptionError.h"
#include "zel/Log.h"

namespace zel {

namespace {

constexpr const char* kSource = "zel::CLocalFileSystem";
constexpr std::string_view kTemporaryMarker = ".tmp-";
// Bytes copied per read of a store's source.
constexpr std::int64_t kCopyChunk = 256 * 1024;

// Counter of the temporary names of this process; shared by every file system object,
// so that two of them storing into one folder never pick the same name. Atomic: stores
// run on many threads.
std::atomic<std::uint64_t> temporaryCounter{0};

std::string parentPath(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

std::string childPath(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

int openRetrying(const char* path, int flags, mode_t mode) {
  for (;;) {
    const int fd = ::open(path, flags, mode);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

CFileSystemError notRegular(const std::string& path) {
  const CError cause("not a regular file", kSource, -1,
                     CProps().add("path", String::fromUTF8(path)));
  return CFileSystemError(CFileSystemError::NotRegular, cause);
}

// The lock of lockFile: an open file description with a write lock on the whole file
// (F_OFD_SETLK). The kernel ties the lock to this description, so a second open of the
// file, in this process or another, cannot take it, and it ends with the process.
// Releasing removes the file while still holding the lock; a taker that locked the
// removed file meanwhile sees that its path names another file (or none) and starts
// again, so no two holders ever hold locks on what one path names.
class CLocalFileLock final : public CBase {
 public:
  CLocalFileLock(int fd, std::string path) : fd(fd), path(std::move(path)) {}
  ~CLocalFileLock() override {
    ::unlink(path.c_str());
    ::close(fd);
  }
  CLocalFileLock(const CLocalFileLock&) = delete;
  CLocalFileLock& operator=(const CLocalFileLock&) = delete;

 private:
  const int fd;
  const std::string path;
};

// True while `path` names the file open as `fd`.
bool pathNamesFile(const std::string& path, int fd) {
  struct stat opened;
  struct stat named;
  return ::fstat(fd, &opened) == 0 && ::lstat(path.c_str(), &named) == 0 &&
         opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// Opens a lock file (made when missing unless `create` is false; -1 then) as a
// regular file, never through a link.
int openLockFile(const std::string& path, bool create) {
  const int fd = openRetrying(
      path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (create ? O_CREAT : 0), 0644);
  if (fd < 0) {
    const int errorNumber = errno;
    if (!create && CLocalFileSystem::problemOf(errorNumber) == CFileSystemError::NotFound)
      return -1;
    if (errorNumber == ELOOP) throw notRegular(path);
    throw CLocalFileSystem::makeSystemError(errorNumber, "open", path);
  }
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    throw notRegular(path);
  }
  return fd;
}

// Tries the write lock; false when another description holds it.
bool tryLock(int fd, const std::string& path) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  while (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
    if (errno == EAGAIN || errno == EACCES) return false;
    if (errno != EINTR) throw CLocalFileSystem::makeSystemError(errno, "fcntl(F_OFD_SETLK)", path);
  }
  return true;
}

// The error for a lock that another holder has, with what that holder wrote.
CFileSystemError lockedBy(int fd, const std::string& path) {
  char text[1024];
  const ssize_t got = ::pread(fd, text, sizeof(text), 0);
  CProps props;
  props.add("path", String::fromUTF8(path));
  props.add("holder",
            String::fromUTF8(std::string(text, got > 0 ? static_cast<std::size_t>(got) : 0)));
  props.add("stale", "false");
  return CFileSystemError(CFileSystemError::Locked, CError("the lock is held", kSource, -1, props));
}

// stat that tells "not there" (false) from real failures (thrown).
bool statIfPresent(const std::string& path, struct stat& info) {
  if (::stat(path.c_str(), &info) == 0) return true;
  const int errorNumber = errno;
  if (CLocalFileSystem::problemOf(errorNumber) == CFileSystemError::NotFound) return false;
  throw CLocalFileSystem::makeSystemError(errorNumber, "stat", path);
}

bool isDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

CInvalidArgError invalidArgument(const char* operation, const char* message, CProps props) {
  return CInvalidArgError(String(kSource) + String("::") + String(operation), message,
                          std::move(props));
}

}  // namespace

CLocalFileSystem::CLocalFileSystem() : CLocalFileSystem(Options()) {}

CLocalFileSystem::CLocalFileSystem(const Options& options)
    : options(options), pool(options.completionThreads) {}

CLocalFileSystem::~CLocalFileSystem() {
  try {
    pool.shutdown();
  } catch (const std::exception& e) {
    onExceptionInDestructorIgnored(kSource, e, true);
  }
}

// --- errors and names ---

CFileSystemError::Problem CLocalFileSystem::problemOf(int errorNumber) noexcept {
  switch (errorNumber) {
    case ENOENT:
    case ENOTDIR:
      return CFileSystemError::NotFound;
    case EEXIST:
      return CFileSystemError::AlreadyExists;
    case ENOSYS:
    case EOPNOTSUPP:
    case EXDEV:
      return CFileSystemError::Unsupported;
    default:
      return CFileSystemError::Other;
  }
}

CFileSystemError CLocalFileSystem::makeSystemError(int errorNumber, const char* operation,
                                                   const std::string& path, const CProps& extra) {
  CProps props;
  props.add("path", String::fromUTF8(path));
  props.add("errno", errorNumber);
  props.add("operation", String(operation));
  props.addAll(extra);
  const CError cause(String::fromUTF8(std::system_category().message(errorNumber)), kSource,
                     errorNumber, props);
  return CFileSystemError(problemOf(errorNumber), cause);
}

std::string CLocalFileSystem::toLocalPath(const CURI& location) {
  try {
    return location.toLocalPath();
  } catch (const CInvalidArgError& e) {
    // Not e itself as the cause: it names the location as "uri", which is the
    // caller's to add.
    const CError cause(e.getMessage(), kSource);
    throw CFileSystemError(CFileSystemError::Unsupported, cause);
  }
}

std::string CLocalFileSystem::makeTemporaryName(std::string_view targetName, long processId,
                                                std::uint64_t counter) {
  std::string_view base = targetName;
  if (base.size() > kMaxTemporaryBaseBytes) {
    std::size_t cut = kMaxTemporaryBaseBytes;
    // Cut before a character, not inside one.
    while (cut > 1 && (static_cast<unsigned char>(base[cut]) & 0xC0) == 0x80)
      --cut;
    base = base.substr(0, cut);
  }
  std::string name = ".";
  name += base;
  name += kTemporaryMarker;
  name += std::to_string(processId);
  name += '-';
  name += std::to_string(counter);
  return name;
}

bool CLocalFileSystem::isTemporaryName(std::string_view name) noexcept {
  if (name.size() < 2 || name[0] != '.') return false;
  const std::size_t marker = name.rfind(kTemporaryMarker);
  if (marker == std::string_view::npos || marker < 2) return false;
  const std::string_view numbers = name.substr(marker + kTemporaryMarker.size());
  const std::size_t dash = numbers.find('-');
  if (dash == std::string_view::npos) return false;
  return isDigits(numbers.substr(0, dash)) && isDigits(numbers.substr(dash + 1));
}

// --- synchronous operations ---

P<CFileInfo> CLocalFileSystem::getFileInfo(const CURI& location, int) {
  const std::string path = toLocalPath(location);
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) throw makeSystemError(errno, "stat", path);
  const bool folder = S_ISDIR(info.st_mode);
  return make<CFileInfo>(folder ? 0 : static_cast<std::int64_t>(info.st_size), folder);
}

P<IIOStream> CLocalFileSystem::openStream(const CURI& location, int access, int mode) {
  int flags = O_CLOEXEC;
  const bool regularOnly = (mode & OpenRegularOnly) != 0;
  mode &= ~OpenRegularOnly;
  // No link is followed and no FIFO can make the open wait for a writer.
  if (regularOnly) flags |= O_NOFOLLOW | O_NONBLOCK;
  switch (access) {
    case IIOStream::AccessRead:
      flags |= O_RDONLY;
      break;
    case IIOStream::AccessWrite:
      flags |= O_WRONLY;
      break;
    case IIOStream::AccessReadWrite:
      flags |= O_RDWR;
      break;
    default:
      throw invalidArgument("openStream", "unknown access", CProps().add("access", access));
  }
  switch (mode) {
    case OpenExisting:
      break;
    case CreateNew:
      flags |= O_CREAT | O_EXCL;
      break;
    case CreateOrTruncate:
      if (access == IIOStream::AccessRead) {
        throw invalidArgument("openStream", "truncating needs write access",
                              CProps().add("access", access).add("mode", mode));
      }
      flags |= O_CREAT | O_TRUNC;
      break;
    case OpenOrCreate:
      flags |= O_CREAT;
      break;
    default:
      throw invalidArgument("openStream", "unknown open mode", CProps().add("mode", mode));
  }
  const std::string path = toLocalPath(location);
  const int fd = openRetrying(path.c_str(), flags, 0666);
  if (fd < 0) {
    const int errorNumber = errno;
    // O_NOFOLLOW reports a symbolic link as ELOOP.
    if (regularOnly && errorNumber == ELOOP) throw notRegular(path);
    throw makeSystemError(errorNumber, "open", path);
  }
  try {
    // A folder opens for reading, but it is no stream.
    struct stat info;
    if (::fstat(fd, &info) != 0) throw makeSystemError(errno, "fstat", path);
    if (regularOnly && !S_ISREG(info.st_mode)) throw notRegular(path);
    if (S_ISDIR(info.st_mode)) throw makeSystemError(EISDIR, "open", path);
    // O_NONBLOCK stays set: it changes nothing for a regular file, and clearing it
    // would cost a system call on every fleck read.
    return make<CLocalFileStream>(fd, location, path, access, options.durable);
  } catch (...) {
    ::close(fd);
    throw;
  }
}

P<IBase> CLocalFileSystem::lockFile(const CURI& location, const String& holder) {
  const std::string path = toLocalPath(location);
  // Ends: each round that starts again saw the file of a holder that released the lock.
  for (;;) {
    const int fd = openLockFile(path, true);
    try {
      if (!tryLock(fd, path)) throw lockedBy(fd, path);
      if (!pathNamesFile(path, fd)) {
        ::close(fd);
        continue;
      }
      const std::string text = holder.toUTF8();
      if (::ftruncate(fd, 0) != 0 ||
          ::pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
        throw makeSystemError(errno, "write", path);
      }
    } catch (...) {
      ::close(fd);
      throw;
    }
    return make<CLocalFileLock>(fd, path);
  }
}

void CLocalFileSystem::breakLock(const CURI& location, bool force) {
  // The kernel drops the locks of ended processes: a lock held now has a live holder,
  // and no one can take it away from it, `force` or not.
  (void)force;
  const std::string path = toLocalPath(location);
  const int fd = openLockFile(path, false);
  if (fd < 0) return;
  const bool free = tryLock(fd, path);
  if (!free) {
    CFileSystemError error = lockedBy(fd, path);
    ::close(fd);
    throw error;
  }
  ::close(fd);
}

void CLocalFileSystem::sync(const CURI& folder) {
  const std::string path = toLocalPath(folder);
  const int fd = openRetrying(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) throw makeSystemError(errno, "open", path);
  const int result = ::syncfs(fd);
  const int errorNumber = errno;
  ::close(fd);
  if (result != 0) throw makeSystemError(errorNumber, "syncfs", path);
}

int CLocalFileSystem::getCapabilities() const {
  return AtomicMove | AtomicNoReplaceStore | LocksEndWithHolder | (options.durable ? Durable : 0);
}

bool CLocalFileSystem::createFolder(const CURI& location, int permissions) {
  const std::string path = toLocalPath(location);
  if (::mkdir(path.c_str(), static_cast<mode_t>(permissions)) == 0) {
    syncFolderIfDurable(parentPath(path));
    return true;
  }
  const int errorNumber = errno;
  struct stat info;
  if (errorNumber == EEXIST && statIfPresent(path, info) && S_ISDIR(info.st_mode)) return false;
  throw makeSystemError(errorNumber, "mkdir", path);
}

bool CLocalFileSystem::exists(const CURI& location) {
  struct stat info;
  return statIfPresent(toLocalPath(location), info);
}

bool CLocalFileSystem::fileExists(const CURI& location) {
  struct stat info;
  return statIfPresent(toLocalPath(location), info) && S_ISREG(info.st_mode);
}

bool CLocalFileSystem::folderExists(const CURI& location) {
  struct stat info;
  return statIfPresent(toLocalPath(location), info) && S_ISDIR(info.st_mode);
}

void CLocalFileSystem::deleteFile(const CURI& location, bool ignoreMissing) {
  const std::string path = toLocalPath(location);
  if (::unlink(path.c_str()) == 0) return;
  const int errorNumber = errno;
  if (ignoreMissing && problemOf(errorNumber) == CFileSystemError::NotFound) return;
  throw makeSystemError(errorNumber, "unlink", path);
}

void CLocalFileSystem::deleteFolder(const CURI& location) {
  const std::string path = toLocalPath(location);
  if (::rmdir(path.c_str()) != 0) throw makeSystemError(errno, "rmdir", path);
}

std::vector<IFileSystem::FolderEntry> CLocalFileSystem::listFolder(const CURI& location) {
  const std::string path = toLocalPath(location);
  const int fd = openRetrying(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) throw makeSystemError(errno, "open", path);
  DIR* folder = ::fdopendir(fd);
  if (folder == nullptr) {
    const int errorNumber = errno;
    ::close(fd);
    throw makeSystemError(errorNumber, "fdopendir", path);
  }
  std::vector<FolderEntry> entries;
  try {
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(folder);
      if (entry == nullptr) {
        if (errno != 0) throw makeSystemError(errno, "readdir", path);
        break;
      }
      const std::string_view name(entry->d_name);
      if (name == "." || name == ".." || isTemporaryName(name)) continue;
      bool isFolder = entry->d_type == DT_DIR;
      if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
        // The type is not in the entry (or it is a link, which we follow).
        struct stat info;
        if (::fstatat(fd, entry->d_name, &info, 0) != 0) {
          const int errorNumber = errno;
          // Removed since readdir saw it (or a dangling link): not there now.
          if (errorNumber == ENOENT) continue;
          throw makeSystemError(errorNumber, "stat", childPath(path, std::string(name)));
        }
        isFolder = S_ISDIR(info.st_mode);
      }
      entries.push_back(FolderEntry{String::fromUTF8(name), isFolder});
    }
  } catch (...) {
    ::closedir(folder);
    throw;
  }
  ::closedir(folder);
  return entries;
}

// --- asynchronous operations ---

P<IAsyncOperation> CLocalFileSystem::moveAsync(const CURI& source, const CURI& target, int flags,
                                               IDoneListener* listener) {
  return pool.submit([this, source, target, flags] { move(source, target, flags); }, listener);
}

P<IAsyncOperation> CLocalFileSystem::createFolderAsync(const CURI& location, int permissions,
                                                       IDoneListener* listener) {
  return pool.submit([this, location, permissions] { makeFolder(location, permissions); },
                     listener);
}

P<IAsyncOperation> CLocalFileSystem::storeStreamAsync(const CURI& target, std::int64_t length,
                                                      P<IInStream> source, bool replace,
                                                      IDoneListener* listener) {
  return pool.submit(
      [this, target, length, source, replace] { storeStream(target, length, source, replace); },
      listener);
}

P<IAsyncOperation> CLocalFileSystem::deleteAsync(const CURI& location, IDoneListener* listener) {
  return pool.submit([this, location] { removeFile(location); }, listener);
}

void CLocalFileSystem::move(const CURI& source, const CURI& target, int flags) const {
  if (flags != MoveNoReplace && flags != MoveReplace) {
    throw invalidArgument("moveAsync", "unknown move flags", CProps().add("flags", flags));
  }
  const std::string from = toLocalPath(source);
  const std::string to = toLocalPath(target);
  if (flags == MoveReplace) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
      const int errorNumber = errno;
      throw makeSystemError(errorNumber, "rename", to,
                            CProps().add("source", String::fromUTF8(from)));
    }
  } else {
    renameNoReplace(from, to);
  }
  syncFolderIfDurable(parentPath(to));
  if (parentPath(from) != parentPath(to)) syncFolderIfDurable(parentPath(from));
}

void CLocalFileSystem::makeFolder(const CURI& location, int permissions) const {
  const std::string path = toLocalPath(location);
  if (::mkdir(path.c_str(), static_cast<mode_t>(permissions)) != 0) {
    throw makeSystemError(errno, "mkdir", path);
  }
  syncFolderIfDurable(parentPath(path));
}

void CLocalFileSystem::removeFile(const CURI& location) const {
  const std::string path = toLocalPath(location);
  if (::unlink(path.c_str()) == 0) return;
  const int errorNumber = errno;
  // Deleting is idempotent: what is not there counts as deleted.
  if (problemOf(errorNumber) != CFileSystemError::NotFound) {
    throw makeSystemError(errorNumber, "unlink", path);
  }
}

void CLocalFileSystem::storeStream(const CURI& target, std::int64_t length, IInStream* source,
                                   bool replace) const {
  if (length < 0 || source == nullptr) {
    throw invalidArgument("storeStreamAsync", "negative length or no source",
                          CProps().add("length", length));
  }
  const std::string targetPath = toLocalPath(target);
  const std::string name = target.getName().toUTF8();
  if (name.empty()) {
    throw invalidArgument("storeStreamAsync", "the root folder cannot be stored to", CProps());
  }
  const std::string folder = parentPath(targetPath);

  std::string temporaryPath;
  int fd = -1;
  for (int attempt = 0;; ++attempt) {
    temporaryPath = childPath(
        folder, makeTemporaryName(name, static_cast<long>(::getpid()), ++temporaryCounter));
    fd = openRetrying(temporaryPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) break;
    const int errorNumber = errno;
    // A name can be taken only by a file a crashed process of the same id left behind;
    // the next number is free.
    if (errorNumber == EEXIST && attempt < 100) continue;
    throw makeSystemError(errorNumber, "open", temporaryPath,
                          CProps().add("target", String::fromUTF8(targetPath)));
  }

  try {
    CLocalFileStream temporary(fd, CURI(), temporaryPath, IIOStream::AccessWrite, false);
    // Not zero-filled: every byte is read into before it is written.
    const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(
        static_cast<std::size_t>(std::max<std::int64_t>(std::min(length, kCopyChunk), 1)));
    std::int64_t left = length;
    while (left > 0) {
      const int piece = static_cast<int>(std::min<std::int64_t>(left, kCopyChunk));
      try {
        source->read(buffer.get(), piece);
      } catch (const std::exception& e) {
        // Whatever the source reports (also a NotFound of its own) is no problem of
        // the target: the caller must not, say, create folders and try again.
        const P<CError> sourceError = CStdExceptionError::exceptionToError(e);
        const CError cause("Reading the data to store failed", kSource, -1,
                           CProps()
                               .add("path", String::fromUTF8(targetPath))
                               .add("length", length)
                               .add("stored", length - left),
                           sourceError.get());
        throw CFileSystemError(CFileSystemError::Other, cause);
      }
      temporary.write(buffer.get(), piece, nullptr);
      left -= piece;
    }
    if (options.durable) temporary.sync();
    temporary.close();
    if (replace) {
      if (::rename(temporaryPath.c_str(), targetPath.c_str()) != 0) {
        const int errorNumber = errno;
        throw makeSystemError(errorNumber, "rename", targetPath,
                              CProps().add("source", String::fromUTF8(temporaryPath)));
      }
    } else {
      renameNoReplace(temporaryPath, targetPath);
    }
  } catch (...) {
    // The temporary stream closed its descriptor when it went out of scope.
    if (::unlink(temporaryPath.c_str()) != 0 && errno != ENOENT) {
      const int errorNumber = errno;
      logError(makeSystemError(errorNumber, "unlink", temporaryPath),
               "Cannot remove the temporary file of a failed store", String());
    }
    throw;
  }
  syncFolderIfDurable(folder);
}

void CLocalFileSystem::renameNoReplace(const std::string& from, const std::string& to) const {
  const CProps names = CProps().add("source", String::fromUTF8(from));
  if (!options.noReplaceByLink) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
    const int errorNumber = errno;
    if (errorNumber != EINVAL && errorNumber != ENOSYS) {
      throw makeSystemError(errorNumber, "rename", to, names);
    }
  }
  // No atomic rename without replacing here; a hard link is just as atomic: it fails
  // when the target exists. Then the old name goes.
  if (::link(from.c_str(), to.c_str()) != 0) {
    const int errorNumber = errno;
    throw makeSystemError(errorNumber, "link", to, names);
  }
  if (::unlink(from.c_str()) != 0) {
    const int errorNumber = errno;
    // Moved is both names or none: take the new one back.
    if (::unlink(to.c_str()) != 0) {
      const int undoError = errno;
      logError(makeSystemError(undoError, "unlink", to),
               "Cannot take back the link of a failed rename", String::fromUTF8(from));
    }
    throw makeSystemError(errorNumber, "unlink", from,
                          CProps().add("target", String::fromUTF8(to)));
  }
}

void CLocalFileSystem::syncFolderIfDurable(const std::string& path) const {
  if (!options.durable) return;
  const int fd = openRetrying(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) throw makeSystemError(errno, "open", path);
  int result;
  do {
    result = ::fsync(fd);
  } while (result != 0 && errno == EINTR);
  const int errorNumber = errno;
  ::close(fd);
  // EINVAL: the file system cannot sync folders; its entries are as safe as they get.
  if (result != 0 && errorNumber != EINVAL) throw makeSystemError(errorNumber, "fsync", path);
}

}  // namespace zel
