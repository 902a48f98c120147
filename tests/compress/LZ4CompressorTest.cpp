// What the LZ4 compressor must do beyond the shared contract: raw blocks that the
// library reads and writes, and the edges of a format without a length header.

#include <lz4.h>
#include <lz4hc.h>

#include <gtest/gtest.h>

#include "CompressTestSupport.h"
#include "compress/CLZ4Compressor.h"
#include "zel/CError.h"

namespace fleck_test {
namespace {

TEST(LZ4CompressorTest, EmptyInputIsTheOneByteEmptyBlock) {
  for (bool high : {false, true}) {
    zel::CLZ4Compressor compressor(high);
    const Bytes compressed = compressAll(compressor, Bytes());
    EXPECT_EQ(compressed, Bytes{0}) << "high " << high;
    EXPECT_EQ(compressor.decompress(compressed.data(), compressed.size(), nullptr, 0), 0u);
    unsigned char room[4];
    // Zero bytes are no block at all.
    EXPECT_THROW(compressor.decompress(compressed.data(), 0, room, sizeof room), zel::CError);
    EXPECT_THROW(compressor.compress(nullptr, 0, nullptr, 0), zel::CError);
  }
}

TEST(LZ4CompressorTest, BlocksAreTheLibrarysOneShotBlocks) {
  const Bytes data = textLikeBytes(testSeed(), 100000);
  zel::CLZ4Compressor fast(false);
  zel::CLZ4Compressor high(true);
  Bytes direct(LZ4_compressBound(static_cast<int>(data.size())));
  int length = LZ4_compress_default(reinterpret_cast<const char*>(data.data()),
                                    reinterpret_cast<char*>(direct.data()),
                                    static_cast<int>(data.size()), static_cast<int>(direct.size()));
  EXPECT_EQ(Bytes(direct.begin(), direct.begin() + length), compressAll(fast, data));
  length = LZ4_compress_HC(reinterpret_cast<const char*>(data.data()),
                           reinterpret_cast<char*>(direct.data()), static_cast<int>(data.size()),
                           static_cast<int>(direct.size()), LZ4HC_CLEVEL_DEFAULT);
  const Bytes highBlock = compressAll(high, data);
  EXPECT_EQ(Bytes(direct.begin(), direct.begin() + length), highBlock);

  // Each reads the other's blocks.
  Bytes out(data.size());
  EXPECT_EQ(fast.decompress(highBlock.data(), highBlock.size(), out.data(), out.size()),
            data.size());
  EXPECT_EQ(out, data);
}

TEST(LZ4CompressorTest, RefusesSourcesBeyondOneBlock) {
  zel::CLZ4Compressor compressor(false);
  const std::size_t tooLong = static_cast<std::size_t>(LZ4_MAX_INPUT_SIZE) + 1;
  EXPECT_THROW(compressor.getMaxCompressedLength(tooLong), zel::CError);
  EXPECT_EQ(compressor.getMaxCompressedLength(LZ4_MAX_INPUT_SIZE),
            static_cast<std::size_t>(LZ4_compressBound(LZ4_MAX_INPUT_SIZE)));
  // Refused before the source is touched.
  unsigned char target[16];
  EXPECT_THROW(compressor.compress(target, tooLong, target, sizeof target), zel::CError);
}

}  // namespace
}  // namespace fleck_test
