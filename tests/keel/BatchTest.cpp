// The batch operations against the one-buffer reference: MD5 of every short length and
// a few fleck sizes, in batches of every size up to past a full set of lanes, under each
// engine this CPU offers; batch AES output that the ordinary cipher decrypts.

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <set>
#include <vector>

#include "keel/CCipherBatch_AES256CBC.h"
#include "keel/CCipher_AES256CBC.h"
#include "keel/CMD5Batch.h"
#include "zel/CMTRand.h"

namespace fleck::test {
namespace {

using keel::BatchBuffer;
using Bytes = std::vector<unsigned char>;
using Buffer = zel::TBuffer<unsigned char>;

constexpr std::size_t kFleckSizes[] = {65536, 524288, 524289, 1048576};

zel::CMTRand seeded() {
  const char* text = std::getenv("FLECK_TEST_SEED");
  return zel::CMTRand(text != nullptr ? std::strtoul(text, nullptr, 0) : 20261206);
}

// Buffers of lengths 0..1100 and the fleck sizes, in random order, at random (mostly
// unaligned) places in `data`.
std::vector<BatchBuffer> someBuffers(zel::CMTRand& random, Bytes& data) {
  data.resize(kFleckSizes[3] + 2048);
  random.randData(data.data(), data.size());
  std::vector<std::size_t> lengths(kFleckSizes, kFleckSizes + 4);
  for (std::size_t length = 0; length <= 1100; ++length)
    lengths.push_back(length);
  std::vector<BatchBuffer> buffers;
  for (std::size_t i = lengths.size(); i > 0; --i) {
    std::swap(lengths[i - 1], lengths[random.randInt() % i]);
    buffers.push_back({data.data() + random.randInt() % 2048, lengths[i - 1]});
  }
  return buffers;
}

TEST(MD5Batch, MatchesOpenSSLForEveryEngineLengthAndBatchSize) {
  using Engine = keel::CMD5Batch::Engine;
  zel::CMTRand random = seeded();
  Bytes data;
  const std::vector<BatchBuffer> buffers = someBuffers(random, data);
  Bytes expected(buffers.size() * 16);
  for (std::size_t i = 0; i < buffers.size(); ++i)
    EVP_Digest(buffers[i].data, buffers[i].length, &expected[16 * i], nullptr, EVP_md5(), nullptr);

  // An engine the CPU has must also have passed its self-check.
  const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                      __builtin_cpu_supports("avx512vl");
  EXPECT_EQ(keel::CMD5Batch::isUsable(Engine::AVX512), avx512);
  EXPECT_EQ(keel::CMD5Batch::isUsable(Engine::AVX2), __builtin_cpu_supports("avx2") != 0);
  for (Engine engine : {Engine::AVX512, Engine::AVX2, Engine::OpenSSL, Engine::Auto}) {
    if (!keel::CMD5Batch::isUsable(engine)) continue;
    SCOPED_TRACE(keel::CMD5Batch::getEngineName(engine));
    // Batches of 1, 2, ... 17 buffers in turn, so that every partial set of lanes and
    // one more than a full set of 16 come up, with lengths mixed in each.
    Bytes got(expected.size());
    for (std::size_t at = 0, size = 1; at < buffers.size(); at += size, size = size % 17 + 1) {
      const std::size_t n = std::min(size, buffers.size() - at);
      keel::CMD5Batch::digestWith(engine, &buffers[at], n, &got[16 * at]);
    }
    EXPECT_EQ(got, expected);
  }
}

TEST(AESBatch, OutputDecryptsToTheInputWithAFreshVectorPerBuffer) {
  using Engine = keel::CCipherBatch_AES256CBC::Engine;
  zel::CMTRand random = seeded();
  Bytes data(kFleckSizes[3] + 64);
  random.randData(data.data(), data.size());
  Bytes keyBytes(32);
  random.randData(keyBytes.data(), keyBytes.size());
  const zel::TCryptBuffer<unsigned char> key(keyBytes.data(), keyBytes.size());
  std::vector<BatchBuffer> buffers;
  for (std::size_t length = 0; length <= 100; ++length)
    buffers.push_back({data.data() + length, length});
  for (std::size_t length : kFleckSizes)
    buffers.push_back({data.data() + 3, length});

  keel::CCipher_AES256CBC reference;
  for (Engine engine : {Engine::MultiBuffer, Engine::OpenSSL}) {
    std::unique_ptr<keel::CCipherBatch_AES256CBC> batch;
    try {
      batch = std::make_unique<keel::CCipherBatch_AES256CBC>(engine);
    } catch (const zel::CError& e) {
      std::fprintf(stderr, "AES engine %d: %s\n", static_cast<int>(engine), e.what());
      continue;
    }
    SCOPED_TRACE(static_cast<int>(engine));
    // Every other output already holds bytes that kAppend must keep.
    std::vector<Buffer> outs(buffers.size());
    for (std::size_t i = 0; i < outs.size(); i += 2)
      outs[i].assign(data.data(), 5);
    batch->encrypt(key, buffers.data(), buffers.size(), outs.data(), keel::ICipher::kAppend);
    std::set<Bytes> vectors;
    for (std::size_t i = 0; i < buffers.size(); ++i) {
      const std::size_t kept = i % 2 == 0 ? 5 : 0;
      const Buffer& out = outs[i];
      ASSERT_EQ(out.getUsed(), kept + 16 + (buffers[i].length / 16 + 1) * 16) << i;
      vectors.emplace(out.getData() + kept, out.getData() + kept + 16);
      Buffer plain;
      reference.decrypt(key, out.getData() + kept, out.getUsed() - kept, plain,
                        keel::ICipher::kReplace, 0);
      ASSERT_EQ(Bytes(plain.getData(), plain.getData() + plain.getUsed()),
                Bytes(buffers[i].data, buffers[i].data + buffers[i].length))
          << i;
    }
    EXPECT_EQ(vectors.size(), buffers.size());
  }
}

}  // namespace
}  // namespace fleck::test
