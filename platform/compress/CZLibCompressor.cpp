#include "compress/CZLibCompressor.h"

#define ZLIB_CONST
#include <zlib.h>

#include <limits>

#include "compress/CompressError.h"
#include "zel/CInvalidArgError.h"

namespace zel {

namespace {

// zlib counts in uInt (32 bits); larger buffers are handed over in pieces.
constexpr std::size_t kMaxPiece = std::numeric_limits<uInt>::max();

uInt takePiece(std::size_t& left) noexcept {
  const std::size_t piece = left < kMaxPiece ? left : kMaxPiece;
  left -= piece;
  return static_cast<uInt>(piece);
}

int checkedLevel(int level) {
  if (level < 0 || level > 9) {
    throw CInvalidArgError("CZLibCompressor", "zlib level must be 0 to 9",
                           CProps().add("level", level));
  }
  return level;
}

}  // namespace

CZLibCompressor::CZLibCompressor(int level)
    : level(checkedLevel(level)), name(String("zlib-") + String::fromInt64(level)) {}

CZLibCompressor::~CZLibCompressor() {
  // Both only free memory and cannot fail on an initialised stream.
  if (deflater != nullptr) deflateEnd(deflater.get());
  if (inflater != nullptr) inflateEnd(inflater.get());
}

std::size_t CZLibCompressor::getMaxCompressedLength(std::size_t sourceLength) const {
  const std::size_t bound = compressBound(sourceLength);
  if (bound < sourceLength) {
    fail("getMaxCompressedLength", "source length too large", Z_BUF_ERROR, nullptr, sourceLength,
         0);
  }
  return bound;
}

std::size_t CZLibCompressor::compress(const unsigned char* source, std::size_t sourceLength,
                                      unsigned char* target, std::size_t capacity) {
  // Every zlib stream takes at least 8 bytes; deflate also refuses a null target.
  if (capacity == 0) {
    fail("compress", "output does not fit in capacity", Z_BUF_ERROR, nullptr, sourceLength,
         capacity);
  }
  if (deflater == nullptr) {
    auto stream = std::make_unique<z_stream_s>();
    const int rc = deflateInit(stream.get(), level);
    if (rc != Z_OK) {
      fail("compress", "cannot initialise deflate", rc, stream->msg, sourceLength, capacity);
    }
    deflater = std::move(stream);
  } else {
    const int rc = deflateReset(deflater.get());
    if (rc != Z_OK) {
      fail("compress", "cannot reset deflate", rc, deflater->msg, sourceLength, capacity);
    }
  }

  z_stream_s& s = *deflater;
  std::size_t inLeft = sourceLength;
  std::size_t outLeft = capacity;
  s.next_in = source;
  s.avail_in = takePiece(inLeft);
  s.next_out = target;
  s.avail_out = takePiece(outLeft);
  for (;;) {
    const int rc = deflate(&s, inLeft == 0 ? Z_FINISH : Z_NO_FLUSH);
    if (rc == Z_STREAM_END) break;
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      fail("compress", "deflate failed", rc, s.msg, sourceLength, capacity);
    }
    bool refilled = false;
    if (s.avail_out == 0) {
      if (outLeft == 0) {
        fail("compress", "output does not fit in capacity", Z_BUF_ERROR, nullptr, sourceLength,
             capacity);
      }
      s.avail_out = takePiece(outLeft);
      refilled = true;
    }
    if (s.avail_in == 0 && inLeft != 0) {
      s.avail_in = takePiece(inLeft);
      refilled = true;
    }
    // Z_BUF_ERROR means no progress; without new room or input it would repeat forever.
    if (rc == Z_BUF_ERROR && !refilled) {
      fail("compress", "deflate made no progress", rc, s.msg, sourceLength, capacity);
    }
  }
  return static_cast<std::size_t>(s.next_out - target);
}

std::size_t CZLibCompressor::decompress(const unsigned char* source, std::size_t sourceLength,
                                        unsigned char* target, std::size_t capacity) {
  if (inflater == nullptr) {
    auto stream = std::make_unique<z_stream_s>();
    const int rc = inflateInit(stream.get());
    if (rc != Z_OK) {
      fail("decompress", "cannot initialise inflate", rc, stream->msg, sourceLength, capacity);
    }
    inflater = std::move(stream);
  } else {
    const int rc = inflateReset(inflater.get());
    if (rc != Z_OK) {
      fail("decompress", "cannot reset inflate", rc, inflater->msg, sourceLength, capacity);
    }
  }

  // inflate refuses a null target even with no room; an empty stream needs none.
  unsigned char noRoom = 0;
  unsigned char* const out = target != nullptr ? target : &noRoom;
  z_stream_s& s = *inflater;
  std::size_t inLeft = sourceLength;
  std::size_t outLeft = target != nullptr ? capacity : 0;
  s.next_in = source;
  s.avail_in = takePiece(inLeft);
  s.next_out = out;
  s.avail_out = takePiece(outLeft);
  for (;;) {
    // Z_FINISH once everything is handed over lets inflate skip its sliding window.
    const int rc = inflate(&s, inLeft == 0 && outLeft == 0 ? Z_FINISH : Z_NO_FLUSH);
    if (rc == Z_STREAM_END) break;
    if (rc == Z_NEED_DICT) {
      fail("decompress", "stream needs a preset dictionary", rc, s.msg, sourceLength, capacity);
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      fail("decompress", "malformed input", rc, s.msg, sourceLength, capacity);
    }
    bool refilled = false;
    if (s.avail_in == 0 && inLeft != 0) {
      s.avail_in = takePiece(inLeft);
      refilled = true;
    }
    if (s.avail_out == 0 && outLeft != 0) {
      s.avail_out = takePiece(outLeft);
      refilled = true;
    }
    if (refilled) continue;
    if (s.avail_in == 0 && s.avail_out == 0) {
      fail("decompress", "input is truncated or output does not fit in capacity", Z_BUF_ERROR,
           nullptr, sourceLength, capacity);
    }
    if (s.avail_out == 0) {
      fail("decompress", "output does not fit in capacity", Z_BUF_ERROR, nullptr, sourceLength,
           capacity);
    }
    if (s.avail_in == 0) {
      fail("decompress", "input is truncated", Z_BUF_ERROR, nullptr, sourceLength, capacity);
    }
    if (rc == Z_BUF_ERROR) {
      fail("decompress", "inflate made no progress", rc, s.msg, sourceLength, capacity);
    }
  }
  if (s.avail_in != 0 || inLeft != 0) {
    fail("decompress", "trailing bytes after the stream", Z_STREAM_END, nullptr, sourceLength,
         capacity);
  }
  return static_cast<std::size_t>(s.next_out - out);
}

void CZLibCompressor::fail(const char* operation, const String& problem, int zlibCode,
                           const char* zlibText, std::size_t sourceLength,
                           std::size_t capacity) const {
  throwCompressError(name, "CZLibCompressor", operation, problem, zlibCode,
                     zlibText != nullptr ? zlibText : zError(zlibCode), sourceLength, capacity);
}

}  // namespace zel
