#include "zel/CMTRand.h"

#include <array>
#include <cstring>

#include "zel/CInvalidArgError.h"

namespace zel {

namespace {

std::mt19937 seededFromEntropy() {
  std::random_device device;
  std::array<std::uint32_t, 16> words;
  for (auto& w : words)
    w = device();
  std::seed_seq seq(words.begin(), words.end());
  return std::mt19937(seq);
}

}  // namespace

CMTRand::CMTRand() : engine(seededFromEntropy()) {}

CMTRand::CMTRand(std::uint64_t seed) {
  std::seed_seq seq{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32)};
  engine.seed(seq);
}

std::uint64_t CMTRand::randBelow(std::uint64_t limit) {
  if (limit == 0)
    throw CInvalidArgError("zel::CMTRand::randBelow", "limit 0: no number is below it");
  return std::uniform_int_distribution<std::uint64_t>(0, limit - 1)(engine);
}

void CMTRand::randData(void* out, std::size_t count) {
  auto* bytes = static_cast<unsigned char*>(out);
  while (count >= 4) {
    const std::uint32_t word = randInt();
    std::memcpy(bytes, &word, 4);
    bytes += 4;
    count -= 4;
  }
  if (count > 0) {
    const std::uint32_t word = randInt();
    std::memcpy(bytes, &word, count);
  }
}

CMTRand* CMTRand::getGlobal() {
  // Never destroyed: threads may still use it while static objects are torn down.
  static CMTRand* global = new CMTRand();
  return global;
}

CMutex& CMTRand::getGlobalInstanceMutex() {
  static CMutex* mutex = new CMutex();
  return *mutex;
}

}  // namespace zel
