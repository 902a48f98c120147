// What the xz compressor must do beyond the shared contract: one verified .xz stream,
// bounded decoder memory, and streams of the library itself readable.

#include <lzma.h>

#include <gtest/gtest.h>

#include "CompressTestSupport.h"
#include "compress/CLZMACompressor.h"
#include "zel/CError.h"
#include "zel/CInvalidArgError.h"

namespace fleck_test {
namespace {

const Bytes& sample() {
  static const Bytes data = textLikeBytes(11, 64 * 1024);
  return data;
}

Bytes easyEncode(std::uint32_t preset, lzma_check check, const Bytes& data) {
  Bytes out(lzma_stream_buffer_bound(data.size()));
  std::size_t length = 0;
  EXPECT_EQ(lzma_easy_buffer_encode(preset, check, nullptr, data.data(), data.size(), out.data(),
                                    &length, out.size()),
            LZMA_OK);
  out.resize(length);
  return out;
}

// The library's code in the error, after checking that the error names us.
std::int64_t decompressErrorCode(zel::CLZMACompressor& compressor, const Bytes& input,
                                 std::size_t capacity) {
  Bytes target(capacity);
  try {
    compressor.decompress(input.data(), input.size(), target.data(), target.size());
  } catch (const zel::CError& error) {
    EXPECT_EQ(error.getProps().lookup("compressor"), zel::String("xz-6")) << error.what();
    EXPECT_TRUE(error.getProps().has("libraryError")) << error.what();
    return error.getCode();
  }
  ADD_FAILURE() << "decompress accepted the input";
  return LZMA_OK;
}

TEST(LZMACompressorTest, RejectsPresetsOutsideZeroToNine) {
  for (int preset : {-1, 10}) {
    EXPECT_THROW(zel::CLZMACompressor(preset, 0), zel::CInvalidArgError) << preset;
  }
  EXPECT_EQ(zel::CLZMACompressor(9, 0).getPreset(), 9u);
  EXPECT_EQ(zel::CLZMACompressor(6, -3).getPreset(), 6u | LZMA_PRESET_EXTREME);
}

// One CRC64-checked stream that the library reads; preset 9 asks for a 64 MiB
// dictionary, but for 64 KiB of input the stream must decode within 1 MiB.
TEST(LZMACompressorTest, WritesOneCRC64StreamWithADictionaryFittedToTheInput) {
  zel::CLZMACompressor compressor(9, 0);
  const Bytes compressed = compressAll(compressor, sample());
  lzma_stream_flags flags;
  ASSERT_EQ(lzma_stream_header_decode(&flags, compressed.data()), LZMA_OK);
  EXPECT_EQ(flags.check, LZMA_CHECK_CRC64);

  Bytes out(sample().size());
  std::uint64_t limit = 1 << 20;
  std::size_t inPos = 0;
  std::size_t outPos = 0;
  ASSERT_EQ(lzma_stream_buffer_decode(&limit, 0, nullptr, compressed.data(), &inPos,
                                      compressed.size(), out.data(), &outPos, out.size()),
            LZMA_OK);
  EXPECT_EQ(inPos, compressed.size());
  EXPECT_EQ(out, sample());
}

TEST(LZMACompressorTest, ReadsStreamsWithAnyVerifiableCheckButNotWithout) {
  zel::CLZMACompressor compressor(6, 0);
  for (lzma_check check : {LZMA_CHECK_CRC32, LZMA_CHECK_SHA256}) {
    const Bytes compressed = easyEncode(9, check, sample());
    Bytes out(sample().size());
    EXPECT_EQ(compressor.decompress(compressed.data(), compressed.size(), out.data(), out.size()),
              sample().size());
    EXPECT_EQ(out, sample()) << "check " << check;
  }
  EXPECT_EQ(
      decompressErrorCode(compressor, easyEncode(6, LZMA_CHECK_NONE, sample()), sample().size()),
      LZMA_NO_CHECK);
}

TEST(LZMACompressorTest, RejectsPaddingAndSecondStreams) {
  zel::CLZMACompressor compressor(6, 0);
  const Bytes compressed = compressAll(compressor, sample());
  Bytes padded = compressed;
  padded.insert(padded.end(), 4, 0);  // stream padding, valid only between streams
  EXPECT_EQ(decompressErrorCode(compressor, padded, sample().size() * 2), LZMA_STREAM_END);
  Bytes twice = compressed;
  twice.insert(twice.end(), compressed.begin(), compressed.end());
  EXPECT_EQ(decompressErrorCode(compressor, twice, sample().size() * 2), LZMA_STREAM_END);
}

TEST(LZMACompressorTest, RefusesDictionariesBeyondTheDecoderMemoryLimit) {
  // Rewrite the block header's dictionary size to almost 4 GiB and fix its CRC32, so
  // that only the memory limit stands in the way.
  zel::CLZMACompressor compressor(6, 0);
  Bytes stream = compressAll(compressor, sample());
  const std::size_t header = LZMA_STREAM_HEADER_SIZE;
  const std::size_t headerSize = (stream[header] + 1u) * 4;
  const unsigned char flags = stream[header + 1];
  ASSERT_EQ(flags & 0x03, 0) << "one filter";
  std::size_t pos = header + 2;
  const int sizes = ((flags & 0x40) != 0 ? 1 : 0) + ((flags & 0x80) != 0 ? 1 : 0);
  for (int i = 0; i < sizes; ++i) {
    while ((stream[pos] & 0x80) != 0)
      ++pos;  // multibyte integer
    ++pos;
  }
  ASSERT_EQ(stream[pos], LZMA_FILTER_LZMA2);
  ASSERT_EQ(stream[pos + 1], 1) << "one property byte";
  stream[pos + 2] = 40;  // 4 GiB - 1
  const std::uint32_t crc = lzma_crc32(&stream[header], headerSize - 4, 0);
  for (int i = 0; i < 4; ++i) {
    stream[header + headerSize - 4 + i] = static_cast<unsigned char>(crc >> (8 * i));
  }
  EXPECT_EQ(decompressErrorCode(compressor, stream, sample().size()), LZMA_MEMLIMIT_ERROR);
  // And the object still works afterwards.
  const Bytes good = compressAll(compressor, sample());
  Bytes out(sample().size());
  EXPECT_EQ(compressor.decompress(good.data(), good.size(), out.data(), out.size()),
            sample().size());
}

TEST(LZMACompressorTest, BoundComesFromTheLibrary) {
  zel::CLZMACompressor compressor(1, 0);
  EXPECT_EQ(compressor.getMaxCompressedLength(1ul << 32), lzma_stream_buffer_bound(1ul << 32));
  EXPECT_THROW(compressor.getMaxCompressedLength(SIZE_MAX), zel::CError);
}

}  // namespace
}  // namespace fleck_test
