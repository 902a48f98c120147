#include "compress/CLZMACompressor.h"

#include <lzma.h>

#include <algorithm>
#include <bit>

#include "compress/CompressError.h"
#include "zel/CInvalidArgError.h"

namespace zel {

namespace {

std::uint32_t checkedPreset(int first, int second) {
  if (first < 0 || first > 9) {
    throw CInvalidArgError("CLZMACompressor", "xz preset must be 0 to 9",
                           CProps().add("preset", first).add("extreme", second));
  }
  return static_cast<std::uint32_t>(first) | (second != 0 ? LZMA_PRESET_EXTREME : 0U);
}

String makeName(int first, int second) {
  String name = String("xz-") + String::fromInt64(first);
  if (second != 0) name += L'e';
  return name;
}

const char* describe(lzma_ret rc) noexcept {
  switch (rc) {
    case LZMA_OK:
      return "LZMA_OK";
    case LZMA_STREAM_END:
      return "LZMA_STREAM_END";
    case LZMA_NO_CHECK:
      return "LZMA_NO_CHECK";
    case LZMA_UNSUPPORTED_CHECK:
      return "LZMA_UNSUPPORTED_CHECK";
    case LZMA_GET_CHECK:
      return "LZMA_GET_CHECK";
    case LZMA_MEM_ERROR:
      return "LZMA_MEM_ERROR";
    case LZMA_MEMLIMIT_ERROR:
      return "LZMA_MEMLIMIT_ERROR";
    case LZMA_FORMAT_ERROR:
      return "LZMA_FORMAT_ERROR";
    case LZMA_OPTIONS_ERROR:
      return "LZMA_OPTIONS_ERROR";
    case LZMA_DATA_ERROR:
      return "LZMA_DATA_ERROR";
    case LZMA_BUF_ERROR:
      return "LZMA_BUF_ERROR";
    case LZMA_PROG_ERROR:
      return "LZMA_PROG_ERROR";
    default:
      return "unknown liblzma result";
  }
}

}  // namespace

CLZMACompressor::CLZMACompressor(int first, int second)
    : preset(checkedPreset(first, second)), name(makeName(first, second)) {
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, preset)) {
    throw CInvalidArgError("CLZMACompressor", "liblzma does not support this preset",
                           CProps().add("preset", first).add("extreme", second));
  }
}

// liblzma's stream decoder and the allocator it was given; the allocator must stay put
// while the stream lives.
struct CLZMACompressor::Decoder {
  lzma_stream stream = LZMA_STREAM_INIT;
  lzma_allocator allocator{};
};

CLZMACompressor::~CLZMACompressor() {
  dropDecoder();
}

std::size_t CLZMACompressor::getMaxCompressedLength(std::size_t sourceLength) const {
  const std::size_t bound = lzma_stream_buffer_bound(sourceLength);
  if (bound == 0) {
    fail("getMaxCompressedLength", "source length too large", LZMA_BUF_ERROR, sourceLength, 0);
  }
  return bound;
}

std::size_t CLZMACompressor::compress(const unsigned char* source, std::size_t sourceLength,
                                      unsigned char* target, std::size_t capacity) {
  // liblzma refuses a null target, and no stream fits in 0 bytes anyway.
  if (capacity == 0) {
    fail("compress", "output does not fit in capacity", LZMA_BUF_ERROR, sourceLength, capacity);
  }
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, preset)) {
    fail("compress", "liblzma does not support this preset", LZMA_OPTIONS_ERROR, sourceLength,
         capacity);
  }
  if (sourceLength < options.dict_size) {
    options.dict_size = std::max<std::uint32_t>(
        LZMA_DICT_SIZE_MIN, std::bit_ceil(static_cast<std::uint32_t>(sourceLength)));
  }
  lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  const lzma_allocator allocator{&CLZMAMemoryCache::allocate, &CLZMAMemoryCache::release,
                                 &encoderMemory};
  std::size_t written = 0;
  const lzma_ret rc = lzma_stream_buffer_encode(filters, LZMA_CHECK_CRC64, &allocator, source,
                                                sourceLength, target, &written, capacity);
  // The encoder's memory depends on our settings and the input size only, never on the
  // bytes, so it is kept after a failure too ("does not fit" may be routine for callers
  // that fall back to storing data uncompressed).
  encoderMemory.endCall(true);
  if (rc == LZMA_BUF_ERROR) {
    fail("compress", "output does not fit in capacity", rc, sourceLength, capacity);
  }
  if (rc != LZMA_OK) {
    fail("compress", "encoder failed", rc, sourceLength, capacity);
  }
  return written;
}

std::size_t CLZMACompressor::decompress(const unsigned char* source, std::size_t sourceLength,
                                        unsigned char* target, std::size_t capacity) {
  Decoder& d = getDecoder();
  // The TELL flags turn a stream without a verifiable check into an error instead of
  // data that nothing vouches for. Without LZMA_CONCATENATED the decoder stops after one
  // stream, so anything behind it stays unread and is caught below.
  lzma_ret rc = lzma_stream_decoder(&d.stream, kDecoderMemoryLimit,
                                    LZMA_TELL_NO_CHECK | LZMA_TELL_UNSUPPORTED_CHECK);
  if (rc == LZMA_OK) {
    d.stream.next_in = source;
    d.stream.avail_in = sourceLength;
    d.stream.next_out = target;
    d.stream.avail_out = target != nullptr ? capacity : 0;
    // lzma_code answers LZMA_BUF_ERROR once it can make no more progress.
    do {
      rc = lzma_code(&d.stream, LZMA_FINISH);
    } while (rc == LZMA_OK);
  }
  const std::size_t unread = d.stream.avail_in;
  const std::size_t written = target != nullptr ? capacity - d.stream.avail_out : 0;
  if (rc == LZMA_STREAM_END && unread == 0) {
    decoderMemory.endCall(true);
    return written;
  }
  dropDecoder();
  decoderMemory.endCall(false);
  switch (rc) {
    case LZMA_STREAM_END:
      fail("decompress", "trailing bytes after the stream", rc, sourceLength, capacity);
    case LZMA_BUF_ERROR:
      // The last bytes of a stream never produce output, so with all input read the
      // stream is short, whether or not the output is full too.
      if (unread == 0) {
        fail("decompress", "input is truncated", rc, sourceLength, capacity);
      }
      fail("decompress", "output does not fit in capacity", rc, sourceLength, capacity);
    case LZMA_DATA_ERROR:
      fail("decompress", "corrupt input", rc, sourceLength, capacity);
    case LZMA_FORMAT_ERROR:
      fail("decompress", "input is not an .xz stream", rc, sourceLength, capacity);
    case LZMA_NO_CHECK:
      fail("decompress", "stream has no integrity check", rc, sourceLength, capacity);
    case LZMA_UNSUPPORTED_CHECK:
      fail("decompress", "stream has an integrity check that cannot be verified", rc, sourceLength,
           capacity);
    case LZMA_MEMLIMIT_ERROR:
      fail("decompress", "stream needs more decoder memory than allowed", rc, sourceLength,
           capacity);
    case LZMA_OPTIONS_ERROR:
      fail("decompress", "stream uses unsupported options", rc, sourceLength, capacity);
    default:
      fail("decompress", "decoder failed", rc, sourceLength, capacity);
  }
}

CLZMACompressor::Decoder& CLZMACompressor::getDecoder() {
  if (decoder == nullptr) {
    decoder = std::make_unique<Decoder>();
    decoder->allocator = {&CLZMAMemoryCache::allocate, &CLZMAMemoryCache::release, &decoderMemory};
    decoder->stream.allocator = &decoder->allocator;
  }
  return *decoder;
}

void CLZMACompressor::dropDecoder() noexcept {
  if (decoder != nullptr) {
    lzma_end(&decoder->stream);
    decoder.reset();
  }
}

void CLZMACompressor::fail(const char* operation, const String& problem, int lzmaCode,
                           std::size_t sourceLength, std::size_t capacity) const {
  throwCompressError(name, "CLZMACompressor", operation, problem, lzmaCode,
                     describe(static_cast<lzma_ret>(lzmaCode)), sourceLength, capacity);
}

}  // namespace zel
