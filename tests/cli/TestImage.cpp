#include "TestImage.h"

#include <algorithm>
#include <random>

namespace fleck::clitest {

std::string TestImage::make(std::uint64_t seed, std::size_t size, std::size_t fleckSize) {
  std::mt19937_64 random(seed);
  std::string image(size, '\0');
  const std::size_t block = std::max<std::size_t>(fleckSize / 4, 1);
  static const char kText[] = "the quick brown fleck jumps over the lazy disk image; ";
  for (std::size_t at = 0; at < size; at += block) {
    const std::size_t n = std::min(block, size - at);
    if ((at / fleckSize) % 3 == 1) continue;  // a whole fleck of zeros
    switch (random() % 4) {
      case 0:
        break;  // zeros inside a fleck that holds data elsewhere
      case 1:
        for (std::size_t i = 0; i < n; ++i)
          image[at + i] = kText[(i + at / 7) % (sizeof(kText) - 1)];
        break;
      default:
        for (std::size_t i = 0; i < n; ++i)
          image[at + i] = static_cast<char>(random());
    }
  }
  return image;
}

int TestImage::nonZeroFlecks(const std::string& image, std::size_t fleckSize) {
  int count = 0;
  for (std::size_t at = 0; at < image.size(); at += fleckSize) {
    if (!isZero(image, at, std::min(fleckSize, image.size() - at))) ++count;
  }
  return count;
}

bool TestImage::isZero(const std::string& bytes, std::size_t offset, std::size_t length) {
  return std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                     bytes.begin() + static_cast<std::ptrdiff_t>(offset + length),
                     [](char c) { return c == 0; });
}

}  // namespace fleck::clitest
