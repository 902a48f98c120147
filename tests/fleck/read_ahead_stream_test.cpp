#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskStreamWithParallelReadAhead.h"
#include "support/TempFolder.h"
#include "zel/CFileSystemError.h"
#include "zel/CIOError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CLocalFileSystem.h"
#include "zel/Log.h"

namespace fleck {
namespace {

using fleck::test::TempFolder;
using Bytes = std::vector<unsigned char>;

constexpr int kFleckSize = 4096;
constexpr std::int64_t kSize = 40 * kFleckSize + 1;  // 41 flecks, the last of one byte

class ReadAheadStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = root.uri() << "disk";
    CFleckDisk::create(fs, folder, kSize, 1, "pw", "lz4", kFleckSize);
    content.resize(kSize);
    for (std::int64_t i = 0; i < kSize; ++i) {
      // Holes (flecks 10 to 14 stay zero) between data.
      content[i] = (i / kFleckSize >= 10 && i / kFleckSize < 15)
                       ? 0
                       : static_cast<unsigned char>(i * 13 + i / 4096);
    }
    CFleckDisk disk(fs, folder, "pw", zel::IIOStream::AccessReadWrite, 2);
    disk.write(content.data(), static_cast<int>(kSize));
  }

  zel::P<CFleckDisk> open() {
    return zel::make<CFleckDisk>(fs, folder, "pw", zel::IIOStream::AccessRead, 1);
  }

  TempFolder root;
  zel::P<zel::IFileSystem> fs = zel::make<zel::CLocalFileSystem>();
  zel::CURI folder;
  Bytes content;
};

TEST_F(ReadAheadStreamTest, WholeDiskReadsEqualTheDiskForEveryThreadCount) {
  for (int threads : {1, 2, 8}) {
    SCOPED_TRACE(threads);
    auto stream = zel::make<CFleckDiskStreamWithParallelReadAhead>(open(), threads);
    Bytes got(kSize + 10);
    std::int64_t total = 0;
    // Odd piece sizes cross fleck boundaries everywhere.
    while (int n = stream->readLax(got.data() + total, 1000))
      total += n;
    EXPECT_EQ(total, kSize);
    got.resize(kSize);
    EXPECT_EQ(got, content);
    EXPECT_TRUE(stream->isEndOfStream());
    EXPECT_EQ(stream->readLax(got.data(), 10), 0);
  }
}

TEST_F(ReadAheadStreamTest, EndOfStreamAndSeekBoundaries) {
  auto stream = zel::make<CFleckDiskStreamWithParallelReadAhead>(open(), 2);
  Bytes got(100, 0xee);
  stream->seek(kSize - 40);
  try {
    stream->read(got.data(), 100);
    FAIL();
  } catch (const zel::CIOError& e) {
    EXPECT_EQ(e.getIOCode(), zel::CIOError::EndOfStream);
    EXPECT_EQ(e.getProps().lookup("uri"), folder.toString(true));
  }
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + 40, content.end() - 40));
  EXPECT_EQ(stream->getPosition(), kSize);

  stream->seek(kSize);
  EXPECT_TRUE(stream->isEndOfStream());
  for (std::int64_t bad : {std::int64_t{-1}, kSize + 1}) {
    try {
      stream->seek(bad);
      FAIL();
    } catch (const zel::CIOError& e) {
      EXPECT_EQ(e.getIOCode(), zel::CIOError::InvalidPosition);
      EXPECT_EQ(e.getProps().lookup("uri"), folder.toString(true));
    }
  }
  EXPECT_THROW(stream->lockRange(0, 1, zel::IStreamBase::LockShared), zel::CFileSystemError);
}

TEST_F(ReadAheadStreamTest, SeeksAnywhere) {
  auto stream = zel::make<CFleckDiskStreamWithParallelReadAhead>(open(), 2);
  Bytes got(3000);
  for (std::int64_t at : {std::int64_t{0}, std::int64_t{7 * kFleckSize + 100}, std::int64_t{5},
                          std::int64_t{39 * kFleckSize}, std::int64_t{12 * kFleckSize - 1}}) {
    stream->seek(at);
    const int n = stream->readLax(got.data(), 3000);
    ASSERT_EQ(n, std::min<std::int64_t>(3000, kSize - at));
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + n, content.begin() + at)) << "at " << at;
  }
}

TEST_F(ReadAheadStreamTest, ADamagedFleckFailsWhereItStartsAndAgainAfterSeekingBack) {
  std::string file = root.path() + "/disk/flecks/d00/c00/b00/a00/03.fleck";
  std::string bytes = fleck::test::readFile(file);
  bytes[bytes.size() / 2] ^= 0x10;
  fleck::test::writeFile(file, bytes);
  zel::LogSink previous =
      zel::setLogSink([](const zel::String&, const std::exception&, const zel::String&) {});

  auto stream = zel::make<CFleckDiskStreamWithParallelReadAhead>(open(), 2);
  Bytes got(5 * kFleckSize, 0);
  EXPECT_THROW(stream->readLax(got.data(), 5 * kFleckSize), zel::CError);
  EXPECT_EQ(stream->getPosition(), 3 * kFleckSize);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + 3 * kFleckSize, content.begin()));
  EXPECT_THROW(stream->readLax(got.data(), 10), zel::CError);
  stream->seek(0);
  EXPECT_EQ(stream->readLax(got.data(), kFleckSize), kFleckSize);
  stream->seek(3 * kFleckSize);
  EXPECT_THROW(stream->readLax(got.data(), 10), zel::CError);
  // Reading goes on behind the damaged fleck.
  stream->seek(4 * kFleckSize);
  EXPECT_EQ(stream->readLax(got.data(), kFleckSize), kFleckSize);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + kFleckSize, content.begin() + 4 * kFleckSize));
  stream->close();
  zel::setLogSink(previous);
}

TEST_F(ReadAheadStreamTest, CloseStopsEverythingAlsoInTheMiddleOfReading) {
  auto stream = zel::make<CFleckDiskStreamWithParallelReadAhead>(open(), 4);
  Bytes got(kFleckSize);
  stream->read(got.data(), 100);
  stream->close();
  stream->close();
  EXPECT_EQ(stream->getLength(), kSize);
  EXPECT_EQ(stream->getURI(), folder);
  try {
    stream->read(got.data(), 1);
    FAIL();
  } catch (const zel::CIOError& e) {
    EXPECT_EQ(e.getIOCode(), zel::CIOError::StreamClosed);
  }
  EXPECT_THROW(stream->getPosition(), zel::CIOError);

  // A stream closed right away, while its threads are still starting to read.
  for (int i = 0; i < 20; ++i)
    zel::make<CFleckDiskStreamWithParallelReadAhead>(open(), 3)->close();
  EXPECT_THROW(CFleckDiskStreamWithParallelReadAhead(open(), 0), zel::CInvalidArgError);
}

}  // namespace
}  // namespace fleck
