#include "fleck/ops/CFileImageSource.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fleck/ops/COperationError.h"

namespace fleck::ops {

CFileImageSource::CFileImageSource(const std::string& path) {
  if (path == "-") {
    fd = STDIN_FILENO;
    name = "on standard input";
  } else {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      throw COperationError(zel::CURI(),
                            "cannot open the image " + path + ": " + std::strerror(errno));
    }
    ownsFd = true;
    name = path;
  }
  struct stat info {};
  if (::fstat(fd, &info) == 0) {
    if (S_ISREG(info.st_mode)) {
      size = info.st_size;
      positional = true;
    } else if (S_ISBLK(info.st_mode)) {
      std::uint64_t bytes = 0;
      if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0) size = static_cast<std::int64_t>(bytes);
      positional = size >= 0;
    } else if (S_ISDIR(info.st_mode)) {
      if (ownsFd) ::close(fd);
      throw COperationError(zel::CURI(), "the image " + path + " is a folder");
    }
  }
  // A hint only: the kernel reads further ahead for a file read from start to end.
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
}

CFileImageSource::~CFileImageSource() {
  if (ownsFd) ::close(fd);
}

std::size_t CFileImageSource::read(unsigned char* out, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t got = ::read(fd, out + done, count - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw COperationError(zel::CURI(),
                            "cannot read the image " + name + ": " + std::strerror(errno));
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

std::size_t CFileImageSource::readAt(unsigned char* out, std::size_t count, std::int64_t offset) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t got =
        ::pread(fd, out + done, count - done, offset + static_cast<std::int64_t>(done));
    if (got < 0) {
      if (errno == EINTR) continue;
      throw COperationError(zel::CURI(),
                            "cannot read the image " + name + ": " + std::strerror(errno));
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

}  // namespace fleck::ops
