// CBufferStream and the data streams that write and read the portable encoding.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "zel/CBufferStream.h"
#include "zel/CDataInStream.h"
#include "zel/CDataOutStream.h"
#include "zel/CIOError.h"
#include "zel/CInvalidArgError.h"
#include "zel/TConstBufferSlice.h"

namespace {

using zel::CBufferStream;
using zel::CIOError;
using zel::P;
using zel::String;
using Bytes = zel::TBuffer<unsigned char>;

std::vector<unsigned char> contents(const Bytes& buffer) {
  return std::vector<unsigned char>(buffer.getData(), buffer.getData() + buffer.getUsed());
}

std::vector<unsigned char> bytesOf(const std::string& s) {
  return std::vector<unsigned char>(s.begin(), s.end());
}

// Runs `operation` and expects a CIOError with `code`.
void expectIOError(CIOError::Code code, const std::function<void()>& operation) {
  try {
    operation();
    ADD_FAILURE() << "no error; expected CIOError code " << code;
  } catch (const CIOError& e) {
    EXPECT_EQ(e.getIOCode(), code) << e.what();
  }
}

// Writes with a CDataOutStream into a fresh buffer and returns the buffer.
P<Bytes> encode(const std::function<void(zel::CDataOutStream&)>& write) {
  CBufferStream stream;
  {
    zel::CDataOutStream out(&stream);
    write(out);
  }
  return stream.getBuffer();
}

// Integers are little-endian two's complement; a string is its UTF-8 byte count, then
// the bytes without a terminator.
TEST(DataStreamTest, EncodingBytes) {
  P<Bytes> buffer = encode([](zel::CDataOutStream& out) {
    out.writeInt16(-2);
    out.writeInt32(std::numeric_limits<std::int32_t>::min());
    out.writeInt64(0x0102030405060708);
    out.writeString(String("caf\xC3\xA9"));
    out.writeString(String(L"a\0b", 3));
  });
  const std::vector<unsigned char> expected = {
      0xFE, 0xFF,                                            // Int16
      0x00, 0x00, 0x00, 0x80,                                // Int32
      0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,        // Int64
      0x05, 0x00, 0x00, 0x00, 'c',  'a',  'f',  0xC3, 0xA9,  // "café": 5 bytes, 4 characters
      0x03, 0x00, 0x00, 0x00, 'a',  0x00, 'b',               // an inner NUL is text
  };
  EXPECT_EQ(contents(*buffer), expected);
}

TEST(DataStreamTest, RoundTripOfExtremesAndText) {
  const std::vector<String> strings = {
      String(), String("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"),
      String(70000, L'\x65E5'),  // longer than one read piece
  };
  const std::vector<std::int64_t> values = {std::numeric_limits<std::int64_t>::min(), -1, 0,
                                            std::numeric_limits<std::int64_t>::max()};
  P<Bytes> buffer = encode([&](zel::CDataOutStream& out) {
    out.writeInt16(std::numeric_limits<std::int16_t>::min());
    out.writeInt32(std::numeric_limits<std::int32_t>::max());
    for (std::int64_t v : values)
      out.writeInt64(v);
    for (const auto& s : strings)
      out.writeString(s);
  });
  CBufferStream stream(buffer.get(), CBufferStream::ReadOnly{});
  zel::CDataInStream in(&stream);
  EXPECT_EQ(in.readInt16(), std::numeric_limits<std::int16_t>::min());
  EXPECT_EQ(in.readInt32(), std::numeric_limits<std::int32_t>::max());
  for (std::int64_t v : values)
    EXPECT_EQ(in.readInt64(), v);
  for (const auto& s : strings)
    EXPECT_EQ(in.readString(), s);
  EXPECT_TRUE(stream.isEndOfStream());
}

// A record of every kind of field, cut short at every byte: each cut must fail with
// EndOfStream, never with a wrong value or another error.
TEST(DataStreamTest, TruncationAtEveryCutPointIsEndOfStream) {
  P<Bytes> record = encode([](zel::CDataOutStream& out) {
    out.writeInt16(-3);
    out.writeInt32(77);
    out.writeString(String("\xE2\x82\xAC-x"));
    out.writeInt64(-5);
    out.writeString(String());
    out.writeString(String("end"));
  });
  auto readRecord = [](zel::CDataInStream& in) {
    EXPECT_EQ(in.readInt16(), -3);
    EXPECT_EQ(in.readInt32(), 77);
    EXPECT_EQ(in.readString(), String("\xE2\x82\xAC-x"));
    EXPECT_EQ(in.readInt64(), -5);
    EXPECT_EQ(in.readString(), String());
    EXPECT_EQ(in.readString(), String("end"));
  };
  {
    CBufferStream whole(record.get(), CBufferStream::ReadOnly{});
    zel::CDataInStream in(&whole);
    readRecord(in);
  }
  for (std::size_t cut = 0; cut < record->getUsed(); ++cut) {
    SCOPED_TRACE(testing::Message() << "cut at " << cut);
    const Bytes prefix(record->getData(), cut);
    CBufferStream stream(&prefix, CBufferStream::ReadOnly{});
    zel::CDataInStream in(&stream);
    expectIOError(CIOError::EndOfStream, [&] { readRecord(in); });
  }
}

TEST(DataStreamTest, NegativeStringLengthIsInvalidData) {
  for (std::int32_t length : {-1, std::numeric_limits<std::int32_t>::min()}) {
    P<Bytes> buffer = encode([&](zel::CDataOutStream& out) {
      out.writeInt32(length);
      out.write("abcd", 4, nullptr);
    });
    CBufferStream stream(buffer.get(), CBufferStream::ReadOnly{});
    zel::CDataInStream in(&stream);
    expectIOError(CIOError::InvalidData, [&] { in.readString(); });
  }
}

// Passes reads on to a buffer stream and remembers the largest single request, so that
// a test can tell how much a reader asked for at once.
class CWatchingInStream final : public zel::CBase, public virtual zel::IInStream {
 public:
  explicit CWatchingInStream(zel::IInStream* inner) : inner(inner) {}
  int largestRead = 0;

  void read(void* buffer, int count) override {
    largestRead = std::max(largestRead, count);
    inner->read(buffer, count);
  }
  int readLax(void* buffer, int count) override {
    largestRead = std::max(largestRead, count);
    return inner->readLax(buffer, count);
  }
  int readAvailable(void* buffer, int count) override { return readLax(buffer, count); }
  bool waitReadable(int timeoutMs) const override { return inner->waitReadable(timeoutMs); }
  bool isEndOfStream() const override { return inner->isEndOfStream(); }
  int isEndOfStream_NonBlocking() const override { return inner->isEndOfStream_NonBlocking(); }
  std::int64_t getLength() const override { return inner->getLength(); }
  std::int64_t getPosition() const override { return inner->getPosition(); }
  zel::CURI getURI() override { return inner->getURI(); }
  void seek(std::int64_t position) override { inner->seek(position); }
  P<zel::IStreamLock> lockRange(std::int64_t offset, std::int64_t length, LockType type) override {
    return inner->lockRange(offset, length, type);
  }
  void close() override { inner->close(); }

 private:
  P<zel::IInStream> inner;
};

TEST(DataStreamTest, HugeStringLengthOnAShortStreamFailsWithoutAllocatingIt) {
  P<Bytes> buffer = encode([](zel::CDataOutStream& out) {
    out.writeInt32(std::numeric_limits<std::int32_t>::max());
    out.write("only a few bytes", 16, nullptr);
  });
  CBufferStream stream(buffer.get(), CBufferStream::ReadOnly{});
  CWatchingInStream watching(&stream);
  {
    zel::CDataInStream in(&watching);
    expectIOError(CIOError::EndOfStream, [&] { in.readString(); });
  }
  // The reader holds no more than one read's worth of bytes at a time.
  EXPECT_LE(watching.largestRead, 1 << 20);
}

TEST(BufferStreamTest, WritesGrowTheBufferGeometrically) {
  CBufferStream stream;
  std::set<std::size_t> capacities;
  for (int i = 0; i < 10000; ++i) {
    const auto b = static_cast<unsigned char>(i);
    stream.write(&b, 1, nullptr);
    capacities.insert(stream.getBuffer()->getCapacity());
  }
  EXPECT_EQ(stream.getPosition(), 10000);
  EXPECT_LE(capacities.size(), 16u);  // doubling: about log2(10000) steps
  EXPECT_EQ(stream.getBuffer()->getData()[9999], static_cast<unsigned char>(9999));

  // A factor of 1 grows to exactly what the write needs.
  CBufferStream exact(nullptr, 1.0);
  exact.write("abc", 3, nullptr);
  exact.write("de", 2, nullptr);
  EXPECT_EQ(exact.getBuffer()->getCapacity(), 5u);
}

TEST(BufferStreamTest, WritesIntoAGivenBufferFromTheStart) {
  P<Bytes> buffer = zel::make<Bytes>(reinterpret_cast<const unsigned char*>("0123456789"), 10);
  CBufferStream stream(buffer);
  EXPECT_EQ(stream.getPosition(), 0);
  stream.write("ab", 2, nullptr);
  stream.seek(9);
  stream.write("XYZ", 3, nullptr);  // overwrites one byte and appends two
  stream.writeKeepBuffer(zel::TConstBufferSlice<unsigned char>(buffer, 2, 2), nullptr);
  EXPECT_EQ(contents(*buffer), bytesOf("ab2345678XYZ23"));
}

TEST(BufferStreamTest, ReadingAndSeeking) {
  P<Bytes> buffer = zel::make<Bytes>(reinterpret_cast<const unsigned char*>("abcdef"), 6);
  CBufferStream stream(buffer);
  char out[8] = {};
  stream.read(out, 2);
  EXPECT_EQ(std::string(out, 2), "ab");
  EXPECT_EQ(stream.readLax(out, 8), 4);
  EXPECT_EQ(std::string(out, 4), "cdef");
  EXPECT_TRUE(stream.isEndOfStream());
  EXPECT_EQ(stream.isEndOfStream_NonBlocking(), 1);
  EXPECT_EQ(stream.readLax(out, 8), 0);
  EXPECT_EQ(stream.readAvailable(out, 8), 0);

  stream.seek(0);
  EXPECT_FALSE(stream.isEndOfStream());
  EXPECT_EQ(stream.readAvailable(out, 3), 3);
  stream.seek(6);  // the end itself is a valid position
  EXPECT_EQ(stream.getPosition(), 6);
  expectIOError(CIOError::InvalidPosition, [&] { stream.seek(7); });
  expectIOError(CIOError::InvalidPosition, [&] { stream.seek(-1); });
  EXPECT_EQ(stream.getPosition(), 6);

  stream.seek(4);
  expectIOError(CIOError::EndOfStream, [&] { stream.read(out, 3); });
  EXPECT_EQ(std::string(out, 2), "ef");  // what was there may have been copied
}

TEST(BufferStreamTest, NegativeCountsAreRefused) {
  CBufferStream stream;
  stream.write("abc", 3, nullptr);
  stream.seek(0);
  char out[3];
  EXPECT_THROW(stream.write("x", -1, nullptr), zel::CInvalidArgError);
  EXPECT_THROW(stream.read(out, -1), zel::CInvalidArgError);
  EXPECT_THROW(stream.readLax(out, -1), zel::CInvalidArgError);
  EXPECT_EQ(stream.getPosition(), 0);
  EXPECT_EQ(stream.getLength(), 3);
  stream.read(out, 0);  // a count of 0 is no transfer, not an error
}

TEST(BufferStreamTest, SetLengthClampsThePositionAndGrowsWithZeros) {
  CBufferStream stream;
  stream.write("abcdef", 6, nullptr);
  stream.setLength(2);
  EXPECT_EQ(stream.getPosition(), 2);
  stream.seek(0);
  stream.setLength(5);  // grows with zeros, even where old bytes were
  EXPECT_EQ(stream.getPosition(), 0);
  EXPECT_EQ(contents(*stream.getBuffer()), (std::vector<unsigned char>{'a', 'b', 0, 0, 0}));
  expectIOError(CIOError::InvalidPosition, [&] { stream.setLength(-1); });
}

TEST(BufferStreamTest, ReadOnlyFormRejectsEveryWrite) {
  const Bytes data(reinterpret_cast<const unsigned char*>("fixed"), 5);
  CBufferStream stream(&data, CBufferStream::ReadOnly{});
  EXPECT_EQ(stream.getBuffer().get(), nullptr);
  expectIOError(CIOError::NotSupported, [&] { stream.write("x", 0, nullptr); });
  expectIOError(CIOError::NotSupported, [&] { stream.setLength(1); });
  expectIOError(CIOError::NotSupported,
                [&] { stream.writeKeepBuffer(zel::TConstBufferSlice<unsigned char>(), nullptr); });
  char out[5];
  stream.read(out, 5);
  EXPECT_EQ(std::string(out, 5), "fixed");
}

TEST(BufferStreamTest, ClosedStreamRefusesEverything) {
  CBufferStream stream;
  stream.write("abc", 3, nullptr);
  stream.close();
  stream.close();  // closing again does nothing
  char out[3];
  P<Bytes> source = zel::make<Bytes>(reinterpret_cast<const unsigned char*>("x"), 1);
  const std::vector<std::pair<const char*, std::function<void()>>> operations = {
      {"read", [&] { stream.read(out, 1); }},
      {"readAvailable", [&] { stream.readAvailable(out, 1); }},
      {"write", [&] { stream.write("x", 1, nullptr); }},
      {"writeKeepBuffer",
       [&] { stream.writeKeepBuffer(zel::TConstBufferSlice<unsigned char>(source), nullptr); }},
      {"seek", [&] { stream.seek(0); }},
      {"getLength", [&] { (void)stream.getLength(); }},
      {"setLength", [&] { stream.setLength(0); }},
      {"flush", [&] { stream.flush(); }},
      {"createWriteBarrier", [&] { (void)stream.createWriteBarrier(nullptr); }},
  };
  for (const auto& [name, operation] : operations) {
    SCOPED_TRACE(name);
    expectIOError(CIOError::StreamClosed, operation);
  }
}

}  // namespace
