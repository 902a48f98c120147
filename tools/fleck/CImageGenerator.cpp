#include "CImageGenerator.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace fleck::cli {

namespace {

constexpr std::size_t kVocabularySize = 4000;

// A well-mixed 64-bit value of its input (the splitmix64 finaliser).
std::uint64_t mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// A number in [0, 1) from the generator.
double uniform(zel::CMTRand& random) {
  return random.randInt() / 4294967296.0;
}

}  // namespace

CImageGenerator::CImageGenerator(std::int64_t size, std::uint64_t seed, int generation)
    : size(size), seed(seed), generation(generation), layout(mix(seed)) {
  // Words of letters drawn with English-like frequencies; common words come first.
  static const char kLetters[] = "etaoinshrdlucmfwypvbgkjqxz";
  static const int kWeights[] = {127, 91, 82, 75, 70, 67, 63, 61, 60, 43, 40, 28, 28,
                                 24,  22, 20, 20, 19, 15, 13, 10, 8,  2,  1,  2,  1};
  int total = 0;
  for (const int w : kWeights)
    total += w;
  zel::CMTRand words(mix(seed ^ 0x5eed));
  vocabulary.reserve(kVocabularySize);
  for (std::size_t i = 0; i < kVocabularySize; ++i) {
    const std::size_t length = 2 + words.randBelow(i < 100 ? 4 : 9);
    std::string word;
    for (std::size_t j = 0; j < length; ++j) {
      int pick = static_cast<int>(words.randBelow(static_cast<std::uint64_t>(total)));
      int letter = 0;
      while (pick >= kWeights[letter])
        pick -= kWeights[letter++];
      word += kLetters[letter];
    }
    vocabulary.push_back(word);
  }
  // A skewed choice: word k is taken about as often as 1 / (k + 1), as in real text.
  wordTable.resize(65536);
  for (std::size_t i = 0; i < wordTable.size(); ++i) {
    const double u = (static_cast<double>(i) + 0.5) / 65536.0;
    const double k = std::pow(static_cast<double>(kVocabularySize), u) - 1.0;
    wordTable[i] = static_cast<std::uint16_t>(std::min<double>(k, kVocabularySize - 1));
  }
}

void CImageGenerator::startRegion() {
  // The layout draws the same numbers in every generation, so boundaries stay put.
  const double pick = uniform(layout);
  const double lengthDraw = uniform(layout);
  const std::uint64_t change = mix(seed * 31 + regionIndex) % 16;
  Kind next;
  // By bytes (zero runs are shorter than data regions on average): about 40% zeros,
  // 30% compressible, 30% random.
  if (pick < 0.47) {
    next = Kind::Zero;
  } else if (pick < 0.65) {
    next = Kind::Text;
  } else if (pick < 0.73) {
    next = Kind::Records;
  } else {
    next = Kind::Random;
  }
  std::int64_t blocks;
  if (next == Kind::Zero) {
    blocks = static_cast<std::int64_t>(std::exp2(4.0 + lengthDraw * 5.0));  // 64 KiB to 2 MiB
  } else {
    blocks = static_cast<std::int64_t>(std::exp2(2.0 + lengthDraw * 8.0));  // 16 KiB to 4 MiB
  }

  std::uint64_t contentSeed = mix(seed + 0x1000 * regionIndex);
  if (generation != 0) {
    if (change == 0) contentSeed = mix(contentSeed + static_cast<std::uint64_t>(generation));
    if (change == 1 && next != Kind::Zero) next = Kind::Zero;
    if (change == 2 && next == Kind::Zero) next = Kind::Random;
  }
  kind = next;
  regionLeft = blocks * static_cast<std::int64_t>(kBlock);
  contents = zel::make<zel::CMTRand>(contentSeed);
  recordKey = contents->randInt64() >> 24;
  ++regionIndex;
}

void CImageGenerator::fillText() {
  std::size_t at = 0;
  int wordsInSentence = 0;
  int sentenceLength = 8 + static_cast<int>(contents->randBelow(14));
  while (at < kBlock) {
    const std::uint32_t r = contents->randInt();
    const std::string& word = vocabulary[wordTable[r & 0xffff]];
    for (std::size_t i = 0; i < word.size() && at < kBlock; ++i) {
      char c = word[i];
      if (wordsInSentence == 0 && i == 0) c = static_cast<char>(c - 'a' + 'A');
      block[at++] = static_cast<unsigned char>(c);
    }
    if (++wordsInSentence >= sentenceLength) {
      const char* end = (r >> 16) % 5 == 0 ? ".\n" : ". ";
      for (const char* p = end; *p != '\0' && at < kBlock; ++p)
        block[at++] = static_cast<unsigned char>(*p);
      wordsInSentence = 0;
      sentenceLength = 8 + static_cast<int>((r >> 20) % 14);
    } else if (at < kBlock) {
      block[at++] = ' ';
    }
  }
}

void CImageGenerator::fillRecords() {
  // 64-byte records: a rising key, small numbers, a name and padding.
  for (std::size_t at = 0; at < kBlock; at += 64) {
    unsigned char* record = block + at;
    std::memset(record, 0, 64);
    recordKey += 1 + contents->randBelow(3);
    std::memcpy(record, &recordKey, 8);
    const std::uint32_t r = contents->randInt();
    const std::uint32_t small[4] = {r % 1000, (r >> 10) % 4096, (r >> 22) % 8, 0xffff};
    std::memcpy(record + 8, small, sizeof(small));
    const std::string& name = vocabulary[(r >> 3) % 300];
    std::memcpy(record + 24, name.data(), std::min<std::size_t>(name.size(), 16));
  }
}

void CImageGenerator::fillBlock() {
  if (regionLeft <= 0) startRegion();
  switch (kind) {
    case Kind::Zero:
      std::memset(block, 0, kBlock);
      break;
    case Kind::Text:
      fillText();
      break;
    case Kind::Records:
      fillRecords();
      break;
    case Kind::Random:
      contents->randData(block, kBlock);
      break;
  }
  regionLeft -= static_cast<std::int64_t>(kBlock);
  blockUsed = 0;
}

std::size_t CImageGenerator::read(unsigned char* out, std::size_t count) {
  const auto left = static_cast<std::size_t>(std::max<std::int64_t>(size - position, 0));
  count = std::min(count, left);
  std::size_t done = 0;
  while (done < count) {
    if (blockUsed == kBlock) fillBlock();
    const std::size_t n = std::min(count - done, kBlock - blockUsed);
    std::memcpy(out + done, block + blockUsed, n);
    blockUsed += n;
    done += n;
  }
  position += static_cast<std::int64_t>(done);
  return done;
}

}  // namespace fleck::cli
