#pragma once

#include <string>

#include "CImageGenerator.h"
#include "CSha256.h"
#include "fleck/ops/IImageSource.h"

namespace fleck::cli {

// A generated image (CImageGenerator) as an import source, with the SHA-256 of the
// bytes handed out, so that an export can be compared with it afterwards.
class CGeneratedImageSource final : public ops::IImageSource {
 public:
  CGeneratedImageSource(std::int64_t size, std::uint64_t seed, int generation);

  std::int64_t getSize() const override { return generator.getSize(); }
  std::size_t read(unsigned char* out, std::size_t count) override;
  std::string describe() const override;

  // Hexadecimal SHA-256 of everything read; call once, after the last read.
  std::string finishDigest() { return digest.finishHex(); }

 private:
  CImageGenerator generator;
  int generation;
  CSha256 digest;
};

}  // namespace fleck::cli
