// What the zlib compressor must do beyond the shared contract: one RFC 1950 stream,
// nothing before or after it, and the library's own streams readable.

#define ZLIB_CONST
#include <zlib.h>

#include <gtest/gtest.h>

#include "CompressTestSupport.h"
#include "compress/CZLibCompressor.h"
#include "zel/CError.h"
#include "zel/CInvalidArgError.h"

namespace fleck_test {
namespace {

const Bytes& sample() {
  static const Bytes data = textLikeBytes(7, 20000);
  return data;
}

std::int64_t decompressErrorCode(zel::CZLibCompressor& compressor, const Bytes& input,
                                 std::size_t capacity) {
  Bytes target(capacity);
  try {
    compressor.decompress(input.data(), input.size(), target.data(), target.size());
  } catch (const zel::CError& error) {
    EXPECT_EQ(error.getProps().lookup("compressor"), zel::String("zlib-6")) << error.what();
    return error.getCode();
  }
  ADD_FAILURE() << "decompress accepted the input";
  return 0;
}

TEST(ZLibCompressorTest, RejectsLevelsOutsideZeroToNine) {
  for (int level : {-1, 10}) {
    EXPECT_THROW(zel::CZLibCompressor{level}, zel::CInvalidArgError) << level;
  }
}

TEST(ZLibCompressorTest, WritesAZlibStreamThatTheLibraryReads) {
  zel::CZLibCompressor compressor(9);
  const Bytes compressed = compressAll(compressor, sample());
  ASSERT_GE(compressed.size(), 6u);
  EXPECT_EQ(compressed[0] & 0x0F, 8) << "compression method deflate";
  EXPECT_EQ(((compressed[0] << 8) | compressed[1]) % 31, 0) << "header check";
  Bytes out(sample().size());
  uLongf outLength = out.size();
  ASSERT_EQ(uncompress(out.data(), &outLength, compressed.data(), compressed.size()), Z_OK);
  EXPECT_EQ(out, sample());
}

TEST(ZLibCompressorTest, ReadsStreamsOfTheLibraryAtAnyLevel) {
  zel::CZLibCompressor reader(1);
  for (int level : {0, 9}) {
    Bytes compressed(compressBound(sample().size()));
    uLongf length = compressed.size();
    ASSERT_EQ(compress2(compressed.data(), &length, sample().data(), sample().size(), level), Z_OK);
    Bytes out(sample().size());
    EXPECT_EQ(reader.decompress(compressed.data(), length, out.data(), out.size()),
              sample().size());
    EXPECT_EQ(out, sample()) << "level " << level;
  }
}

TEST(ZLibCompressorTest, RejectsTrailingBytesAndSecondStreams) {
  zel::CZLibCompressor compressor(6);
  const Bytes compressed = compressAll(compressor, sample());
  Bytes withByte = compressed;
  withByte.push_back(0);
  EXPECT_EQ(decompressErrorCode(compressor, withByte, sample().size() * 2), Z_STREAM_END);
  Bytes twice = compressed;
  twice.insert(twice.end(), compressed.begin(), compressed.end());
  EXPECT_EQ(decompressErrorCode(compressor, twice, sample().size() * 2), Z_STREAM_END);
}

TEST(ZLibCompressorTest, RejectsOtherContainersAndDictionaries) {
  zel::CZLibCompressor compressor(6);
  const Bytes& data = sample();
  const unsigned char dictionary[] = "block write read flush";
  // gzip wrapper (windowBits 31) and raw deflate (-15) are not ours; nor is a zlib
  // stream that needs a preset dictionary.
  for (int windowBits : {31, -15, 15}) {
    z_stream s{};
    ASSERT_EQ(deflateInit2(&s, 6, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY), Z_OK);
    if (windowBits == 15) {
      ASSERT_EQ(deflateSetDictionary(&s, dictionary, sizeof dictionary), Z_OK);
    }
    Bytes out(deflateBound(&s, data.size()) + 32);
    s.next_in = data.data();
    s.avail_in = static_cast<uInt>(data.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    ASSERT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
    out.resize(s.total_out);
    deflateEnd(&s);
    EXPECT_EQ(decompressErrorCode(compressor, out, data.size()),
              windowBits == 15 ? Z_NEED_DICT : Z_DATA_ERROR)
        << windowBits;
  }
}

TEST(ZLibCompressorTest, EmptyStreamDecodesIntoNoTarget) {
  zel::CZLibCompressor compressor(6);
  const Bytes compressed = compressAll(compressor, Bytes());
  EXPECT_EQ(compressor.decompress(compressed.data(), compressed.size(), nullptr, 0), 0u);
  EXPECT_THROW(compressor.decompress(nullptr, 0, nullptr, 0), zel::CError);
  unsigned char one = 0;
  EXPECT_THROW(compressor.compress(&one, 1, nullptr, 0), zel::CError);
}

}  // namespace
}  // namespace fleck_test
