#include "support/BenchData.h"

#include <cstdio>
#include <random>
#include <string>

namespace fleck::bench {

namespace {

// Lines as a storage service might log them: a time stamp, a level, a few words from a
// small vocabulary and some numbers. Numbers and word choice are random, which keeps
// LZ4 from doing much better than about 0.4.
std::vector<unsigned char> makeText(std::size_t size, std::uint32_t seed) {
  static const char* const kLevels[] = {"INFO ", "INFO ", "INFO ", "DEBUG", "WARN "};
  static const char* const kWords[] = {
      "block",  "write",   "read",  "flush",  "volume", "sector", "journal",   "retry",
      "commit", "offset",  "cache", "thread", "queued", "stored", "replica",   "segment",
      "index",  "request", "done",  "open",   "closed", "lease",  "checkpoint"};
  std::mt19937 engine(seed);
  std::string text;
  text.reserve(size + 256);
  unsigned seconds = 3600 * 9;
  while (text.size() < size) {
    // Drawn one by one: the order of a call's arguments is unspecified.
    seconds += engine() % 3;
    const unsigned millis = engine() % 1000;
    const char* const level = kLevels[engine() % std::size(kLevels)];
    const unsigned worker = engine() % 8;
    char head[96];
    std::snprintf(head, sizeof head, "2024-05-17 %02u:%02u:%02u.%03u %s [worker-%u] ",
                  seconds / 3600 % 24, seconds / 60 % 60, seconds % 60, millis, level, worker);
    text += head;
    const unsigned words = 3 + engine() % 6;
    for (unsigned i = 0; i < words; ++i) {
      text += kWords[engine() % std::size(kWords)];
      text += ' ';
    }
    const unsigned id = engine() % 100000;
    const unsigned offset = engine() % (1u << 24);
    const unsigned length = 512u << (engine() % 5);
    char tail[64];
    std::snprintf(tail, sizeof tail, "id=%u off=%x len=%u\n", id, offset, length);
    text += tail;
  }
  return std::vector<unsigned char>(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(size));
}

}  // namespace

const char* dataKindName(DataKind kind) {
  switch (kind) {
    case DataKind::kRandom:
      return "random";
    case DataKind::kText:
      return "text";
    case DataKind::kZeroButOne:
      return "zero_but_one";
  }
  return "?";
}

std::vector<unsigned char> makeData(DataKind kind, std::size_t size, std::uint32_t seed) {
  switch (kind) {
    case DataKind::kRandom: {
      std::vector<unsigned char> bytes(size);
      std::mt19937 engine(seed);
      for (auto& b : bytes)
        b = static_cast<unsigned char>(engine() >> 24);
      return bytes;
    }
    case DataKind::kText:
      return makeText(size, seed);
    case DataKind::kZeroButOne: {
      std::vector<unsigned char> bytes(size, 0);
      if (size > 0) bytes[size / 2] = static_cast<unsigned char>(1 + seed % 255);
      return bytes;
    }
  }
  return {};
}

}  // namespace fleck::bench
