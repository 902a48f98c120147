#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "zel/CMTRand.h"
#include "zel/P.h"

namespace fleck::cli {

// A deterministic disk image that looks like a real one: runs of zeros (about 40% of
// the bytes), compressible data (text and tables of records, about 30%) and
// incompressible data (about 30%), in regions of irregular size aligned to 4 KiB, not to
// flecks. The same size, seed and generation give the same bytes on every machine
// with the same standard library.
//
// A generation other than 0 is the same image after some changes: about one region in
// sixteen gets new contents, one in sixteen of the data regions becomes zeros and one in
// sixteen of the zero regions gets data; region boundaries stay.
//
// Produces its bytes in order (read); one user at a time.
class CImageGenerator final {
 public:
  CImageGenerator(std::int64_t size, std::uint64_t seed, int generation);
  CImageGenerator(const CImageGenerator&) = delete;
  CImageGenerator& operator=(const CImageGenerator&) = delete;

  std::int64_t getSize() const noexcept { return size; }
  std::int64_t getPosition() const noexcept { return position; }
  // Copies the next `count` bytes (fewer at the end) and returns how many.
  std::size_t read(unsigned char* out, std::size_t count);

 private:
  enum class Kind { Zero, Text, Records, Random };
  static constexpr std::size_t kBlock = 4096;

  void startRegion();
  void fillBlock();
  void fillText();
  void fillRecords();

  const std::int64_t size;
  const std::uint64_t seed;
  const int generation;
  std::int64_t position = 0;

  zel::CMTRand layout;            // region kinds and lengths
  zel::P<zel::CMTRand> contents;  // the current region's bytes
  std::vector<std::string> vocabulary;
  std::vector<std::uint16_t> wordTable;  // uniform 16-bit numbers to skewed word choices
  std::uint64_t regionIndex = 0;
  Kind kind = Kind::Zero;
  std::int64_t regionLeft = 0;  // bytes of the region not yet produced
  std::uint64_t recordKey = 0;
  unsigned char block[kBlock];
  std::size_t blockUsed = kBlock;  // bytes of `block` already handed out
};

}  // namespace fleck::cli
