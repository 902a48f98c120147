#include "fleck/ops/COutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fleck/ops/COperationError.h"

namespace fleck::ops {

namespace {

bool isZeroBlock(const unsigned char* p, std::size_t n) {
  return n == 0 || (p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0);
}

}  // namespace

COutputFile::COutputFile(const std::string& path, bool allowSparse) {
  if (path.empty() || path == "-") {
    fd = STDOUT_FILENO;
    name = "standard output";
  } else {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
      throw COperationError(zel::CURI(),
                            "cannot open " + path + " for writing: " + std::strerror(errno));
    }
    ownsFd = true;
    name = path;
  }
  struct stat info {};
  // Standard output redirected to a file (> out.img) is written sparse as well; only
  // an empty one, since holes over old contents would not read as zeros, and not in
  // append mode, where positioned writes go to the end.
  const int flags = ::fcntl(fd, F_GETFL);
  positioned = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && flags >= 0 &&
               (flags & O_APPEND) == 0 &&
               (ownsFd || (info.st_size == 0 && ::lseek(fd, 0, SEEK_CUR) == 0));
  sparse = allowSparse && positioned;
}

COutputFile::~COutputFile() {
  if (ownsFd && fd >= 0) ::close(fd);
}

void COutputFile::fail(const char* doing) const {
  throw COperationError(zel::CURI(),
                        std::string("cannot ") + doing + " " + name + ": " + std::strerror(errno));
}

void COutputFile::writeAll(std::int64_t offset, const unsigned char* data, std::size_t count) {
  while (count > 0) {
    const ssize_t done = positioned ? ::pwrite(fd, data, count, offset) : ::write(fd, data, count);
    if (done < 0) {
      if (errno == EINTR) continue;
      fail("write to");
    }
    data += done;
    count -= static_cast<std::size_t>(done);
    offset += done;
  }
}

void COutputFile::writeSparse(std::int64_t offset, const unsigned char* data, std::size_t count) {
  // Runs of non-zero blocks go out in one call; zero blocks are skipped: the file was
  // empty, so what is never written reads as zeros.
  std::size_t at = 0;
  while (at < count) {
    const std::size_t toBoundary =
        kBlock - static_cast<std::size_t>((offset + static_cast<std::int64_t>(at)) %
                                          static_cast<std::int64_t>(kBlock));
    const std::size_t n = std::min(toBoundary, count - at);
    if (isZeroBlock(data + at, n)) {
      skipped += static_cast<std::int64_t>(n);
      at += n;
      continue;
    }
    std::size_t runEnd = at + n;
    while (runEnd < count) {
      const std::size_t next = std::min(kBlock, count - runEnd);
      if (isZeroBlock(data + runEnd, next)) break;
      runEnd += next;
    }
    writeAll(offset + static_cast<std::int64_t>(at), data + at, runEnd - at);
    at = runEnd;
  }
}

void COutputFile::write(const unsigned char* data, std::size_t count) {
  if (sparse) {
    writeSparse(position, data, count);
  } else {
    writeAll(position, data, count);
  }
  position += static_cast<std::int64_t>(count);
  end = position;
}

void COutputFile::writeAt(std::int64_t offset, const unsigned char* data, std::size_t count) {
  if (!positioned) {
    throw COperationError(zel::CURI(), name + " takes its bytes in order only");
  }
  if (sparse) {
    writeSparse(offset, data, count);
  } else {
    writeAll(offset, data, count);
  }
  const std::int64_t last = offset + static_cast<std::int64_t>(count);
  for (std::int64_t seen = end.load(); seen < last && !end.compare_exchange_weak(seen, last);) {
  }
}

void COutputFile::finish() {
  // Zero blocks at the end were skipped: the length makes them part of the file.
  if (positioned && ::ftruncate(fd, end.load()) != 0) fail("set the length of");
  if (ownsFd) {
    const int closing = fd;
    fd = -1;
    if (::close(closing) != 0) fail("close");
  }
}

}  // namespace fleck::ops
