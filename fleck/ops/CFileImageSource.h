#pragma once

#include <string>

#include "fleck/ops/IImageSource.h"

namespace fleck::ops {

// An image in a file, or standard input for "-". The size is known for regular files
// and block devices, not for pipes and terminals.
class CFileImageSource final : public IImageSource {
 public:
  // Throws COperationError when the file cannot be opened.
  explicit CFileImageSource(const std::string& path);
  ~CFileImageSource() override;
  CFileImageSource(const CFileImageSource&) = delete;
  CFileImageSource& operator=(const CFileImageSource&) = delete;

  std::int64_t getSize() const override { return size; }
  std::size_t read(unsigned char* out, std::size_t count) override;
  bool canReadAt() const override { return positional; }
  std::size_t readAt(unsigned char* out, std::size_t count, std::int64_t offset) override;
  std::string describe() const override { return name; }

 private:
  int fd = -1;
  bool ownsFd = false;
  std::string name;
  std::int64_t size = -1;
  bool positional = false;  // a regular file or a device: pread works
};

}  // namespace fleck::ops
