// The stream contract both disk streams share (virtual length, closed streams, the end
// of the stream), then what only the plain stream does (the disk's position, read past
// the virtual length, copies).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "FleckTestSupport.h"
#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskStream.h"
#include "fleck/CFleckDiskStreamWithCache.h"
#include "support/TempFolder.h"
#include "zel/CFileSystemError.h"
#include "zel/CIOError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CLocalFileSystem.h"

namespace fleck {
namespace {

using fleck::test::pattern;
using fleck::test::TempFolder;
using Bytes = std::vector<unsigned char>;

constexpr int kFleckSize = 65536;
constexpr std::int64_t kDiskSize = 5 * kFleckSize + 1000;  // the last fleck is partial

// The code of the zel::CIOError `action` throws; Unknown when it throws none. With
// bare true, also checks that the error has no message and no properties.
zel::CIOError::Code ioCode(const std::function<void()>& action, bool bare = false) {
  try {
    action();
  } catch (const zel::CIOError& e) {
    if (bare) {
      EXPECT_TRUE(e.getMessage().empty()) << e.what();
      EXPECT_TRUE(e.getProps().isEmpty()) << e.what();
    }
    return e.getIOCode();
  }
  return zel::CIOError::Unknown;
}

void expectLockRangeUnsupported(zel::IStreamBase& stream) {
  try {
    stream.lockRange(0, 10, zel::IStreamBase::LockShared);
    ADD_FAILURE() << "lockRange did not throw";
  } catch (const zel::CFileSystemError& e) {
    EXPECT_EQ(e.getProblem(), zel::CFileSystemError::Unsupported);
    ASSERT_NE(e.getCause(), nullptr);
    EXPECT_EQ(e.getCause()->getMessage(),
              zel::String("Fleck disk stream does not support lockRange."));
    EXPECT_TRUE(e.getCause()->getSource().empty());
    EXPECT_EQ(e.getCause()->getCode(), -1);
  }
}

// A disk of kDiskSize bytes holding pattern(kDiskSize, 7).
class DiskStreamFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = root.uri() << "disk";
    CFleckDisk::create(fs, folder, kDiskSize, 1, "", "lz4", kFleckSize);
    disk = zel::make<CFleckDisk>(fs, folder, "", zel::IIOStream::AccessReadWrite, 2);
    disk->write(data.data(), static_cast<int>(data.size()));
    disk->seek(0);
  }

  TempFolder root;
  zel::P<zel::IFileSystem> fs = zel::make<zel::CLocalFileSystem>();
  zel::CURI folder;
  zel::P<CFleckDisk> disk;
  const Bytes data = pattern(kDiskSize, 7);
};

template <class Stream>
class StreamContractTest : public DiskStreamFixture {
 protected:
  void SetUp() override {
    DiskStreamFixture::SetUp();
    stream = zel::make<Stream>(disk.get());
  }
  void TearDown() override { stream = nullptr; }

  zel::P<Stream> stream;
};

using StreamTypes = ::testing::Types<CFleckDiskStream, CFleckDiskStreamWithCache>;
TYPED_TEST_SUITE(StreamContractTest, StreamTypes);

TYPED_TEST(StreamContractTest, SeekStaysWithinTheVirtualLength) {
  auto& s = *this->stream;
  EXPECT_EQ(s.getLength(), kDiskSize);
  EXPECT_EQ(s.getPosition(), 0);
  EXPECT_FALSE(s.isEndOfStream());
  EXPECT_EQ(s.isEndOfStream_NonBlocking(), 0);

  s.seek(kDiskSize);
  EXPECT_TRUE(s.isEndOfStream());
  EXPECT_EQ(s.isEndOfStream_NonBlocking(), 1);
  EXPECT_EQ(ioCode([&] { s.seek(kDiskSize + 1); }, true), zel::CIOError::InvalidPosition);
  EXPECT_EQ(ioCode([&] { s.seek(-1); }, true), zel::CIOError::InvalidPosition);
  EXPECT_EQ(s.getPosition(), kDiskSize);
  EXPECT_TRUE(s.waitReadable(-1));
  EXPECT_THROW(TypeParam(nullptr), zel::CInvalidArgError);
}

TYPED_TEST(StreamContractTest, SetVirtualLengthMovesOnlyAPositionBeyondIt) {
  auto& s = *this->stream;
  const Bytes& data = this->data;
  Bytes buffer(100, 0);
  s.seek(150);
  s.setVirtualLength(100);
  EXPECT_EQ(s.getLength(), 100);
  EXPECT_EQ(s.getPosition(), 100);
  EXPECT_TRUE(s.isEndOfStream());
  EXPECT_EQ(ioCode([&] { s.seek(101); }, true), zel::CIOError::InvalidPosition);

  s.seek(50);
  s.setVirtualLength(100);
  EXPECT_EQ(s.getPosition(), 50);
  EXPECT_EQ(s.readLax(buffer.data(), 80), 50);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 50, data.begin() + 50));
  EXPECT_EQ(s.getPosition(), 100);
  EXPECT_EQ(s.readLax(buffer.data(), 80), 0);
  EXPECT_EQ(s.readAvailable(buffer.data(), 80), 0);

  // A negative length would need a negative position: refused, nothing changes.
  s.seek(40);
  EXPECT_EQ(ioCode([&] { s.setVirtualLength(-1); }, true), zel::CIOError::InvalidPosition);
  EXPECT_EQ(s.getLength(), 100);
  EXPECT_EQ(s.getPosition(), 40);

  // No upper bound, and the bytes inside the disk read normally again.
  s.setVirtualLength(kDiskSize * 2);
  EXPECT_EQ(s.getLength(), kDiskSize * 2);
  s.seek(1000);
  s.read(buffer.data(), 100);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), data.begin() + 1000));
}

TYPED_TEST(StreamContractTest, WritingAtTheVirtualLengthRaisesIt) {
  auto& s = *this->stream;
  const Bytes& data = this->data;
  const Bytes bytes = pattern(10, 99);
  s.setVirtualLength(100);
  s.seek(100);
  s.write(bytes.data(), 10, nullptr);
  EXPECT_EQ(s.getLength(), 110);
  EXPECT_EQ(s.getPosition(), 110);
  // A write inside the length leaves it.
  s.seek(20);
  s.write(bytes.data(), 10, nullptr);
  EXPECT_EQ(s.getLength(), 110);

  Bytes back(110);
  s.seek(0);
  s.read(back.data(), 110);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), back.begin() + 100));
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), back.begin() + 20));
  EXPECT_TRUE(std::equal(back.begin(), back.begin() + 20, data.begin()));
  EXPECT_TRUE(std::equal(back.begin() + 30, back.begin() + 100, data.begin() + 30));

  // Through writeKeepBuffer, across a fleck boundary.
  s.setVirtualLength(kDiskSize);
  auto slice = zel::make<zel::TBuffer<unsigned char>>(pattern(3000, 5).data(), 3000);
  s.seek(kFleckSize - 1000);
  s.writeKeepBuffer(zel::TConstBufferSlice<unsigned char>(
                        zel::PC<zel::TBuffer<unsigned char>>(slice), 1000, 2000),
                    nullptr);
  EXPECT_EQ(s.getPosition(), kFleckSize + 1000);
  Bytes across(2000);
  s.seek(kFleckSize - 1000);
  s.read(across.data(), 2000);
  EXPECT_TRUE(std::equal(across.begin(), across.end(), slice->getData() + 1000));
}

TYPED_TEST(StreamContractTest, ReadsEndAtTheLength) {
  auto& s = *this->stream;
  const Bytes& data = this->data;
  Bytes buffer(100, 0);
  s.seek(kDiskSize - 40);
  try {
    s.read(buffer.data(), 100);
    ADD_FAILURE() << "read past the end did not throw";
  } catch (const zel::CIOError& e) {
    EXPECT_EQ(e.getIOCode(), zel::CIOError::EndOfStream);
    EXPECT_EQ(e.getProps().lookup("uri"), this->folder.toString(true));
  }
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 40, data.end() - 40));
  EXPECT_EQ(s.getPosition(), kDiskSize);
  EXPECT_EQ(ioCode([&] { s.read(buffer.data(), 1); }), zel::CIOError::EndOfStream);
  EXPECT_NO_THROW(s.read(buffer.data(), 0));

  s.seek(kDiskSize - 40);
  std::fill(buffer.begin(), buffer.end(), 0);
  EXPECT_EQ(s.readLax(buffer.data(), 100), 40);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 40, data.end() - 40));
  EXPECT_EQ(s.readLax(buffer.data(), 100), 0);
  EXPECT_EQ(s.readLax(buffer.data(), -5), 0);
}

TYPED_TEST(StreamContractTest, TransfersStopAtTheDiskEndEvenWithALongerLength) {
  auto& s = *this->stream;
  const Bytes& data = this->data;
  s.setVirtualLength(kDiskSize + 5000);
  Bytes buffer(100, 0);
  s.seek(kDiskSize - 10);
  EXPECT_EQ(ioCode([&] { s.read(buffer.data(), 100); }), zel::CIOError::EndOfStream);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 10, data.end() - 10));
  EXPECT_EQ(s.getPosition(), kDiskSize);

  // Nothing of a write that would pass the disk's end is written.
  const Bytes bytes = pattern(kFleckSize + 20, 3);
  s.seek(kDiskSize - 10 - kFleckSize);
  EXPECT_EQ(ioCode([&] { s.write(bytes.data(), kFleckSize + 20, nullptr); }),
            zel::CIOError::EndOfStream);
  Bytes back(kFleckSize + 10);
  s.seek(kDiskSize - 10 - kFleckSize);
  s.read(back.data(), kFleckSize + 10);
  EXPECT_TRUE(std::equal(back.begin(), back.end(), data.end() - kFleckSize - 10));
}

TYPED_TEST(StreamContractTest, ChangesReachTheDiskOnFlushAndBarrier) {
  auto& s = *this->stream;
  const Bytes bytes = pattern(200000, 11);
  s.seek(1000);
  s.write(bytes.data(), 200000, nullptr);
  zel::P<zel::IWriteBarrier> barrier = s.createWriteBarrier(nullptr);
  ASSERT_NE(barrier, nullptr);
  EXPECT_TRUE(barrier->waitReached(0));
  s.flush();

  CFleckDisk other(this->fs, this->folder, "", zel::IIOStream::AccessRead, 1);
  Bytes back(200000);
  other.seek(1000);
  other.read(back.data(), 200000);
  EXPECT_EQ(back, bytes);
}

TYPED_TEST(StreamContractTest, ClosedStreamsRefuseEverythingButURIAndClose) {
  auto& s = *this->stream;
  EXPECT_EQ(ioCode([&] { s.setLength(10); }, true), zel::CIOError::NotSupported);
  expectLockRangeUnsupported(s);
  const long before = this->disk->getRefCount();
  s.close();
  EXPECT_LT(this->disk->getRefCount(), before);  // the stream let go of the disk
  EXPECT_NO_THROW(s.close());
  EXPECT_EQ(s.getURI(), this->folder);
  expectLockRangeUnsupported(s);

  Bytes buffer(10, 0);
  zel::P<zel::IWriteBarrier> barrier;
  const std::vector<std::function<void()>> operations = {
      [&] { s.getLength(); },
      [&] { s.seek(0); },
      [&] { s.read(buffer.data(), 0); },
      [&] { s.readAvailable(buffer.data(), 1); },
      [&] { s.waitReadable(0); },
      [&] { s.isEndOfStream_NonBlocking(); },
      [&] { s.write(buffer.data(), 0, nullptr); },
      [&] { s.writeKeepBuffer(zel::TConstBufferSlice<unsigned char>(), nullptr); },
      [&] { barrier = s.createWriteBarrier(nullptr); },
      [&] { s.flush(); },
      [&] { s.setLength(10); },
      [&] { s.setVirtualLength(10); },
  };
  for (std::size_t i = 0; i < operations.size(); ++i) {
    EXPECT_EQ(ioCode(operations[i], true), zel::CIOError::StreamClosed) << "operation " << i;
  }
  EXPECT_EQ(barrier, nullptr);
}

// What only the plain stream does.
using DiskStreamTest = DiskStreamFixture;

TEST_F(DiskStreamTest, ThePositionIsTheDisks) {
  auto a = zel::make<CFleckDiskStream>(disk.get());
  auto b = zel::make<CFleckDiskStream>(disk.get());
  a->seek(500);
  EXPECT_EQ(b->getPosition(), 500);
  disk->seek(70000);
  EXPECT_EQ(a->getPosition(), 70000);
  Bytes buffer(10);
  b->read(buffer.data(), 10);
  EXPECT_EQ(a->getPosition(), 70010);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), data.begin() + 70000));

  // Each keeps its own virtual length; a position beyond one's length reads nothing
  // through readLax and counts as the end.
  a->setVirtualLength(1000);  // moves the shared position to 1000
  EXPECT_EQ(b->getPosition(), 1000);
  EXPECT_EQ(b->getLength(), kDiskSize);
  b->seek(70010);
  std::fill(buffer.begin(), buffer.end(), 0);
  EXPECT_EQ(a->readLax(buffer.data(), 10), 0);
  EXPECT_EQ(buffer, Bytes(10, 0));
  EXPECT_EQ(a->getPosition(), 70010);
  EXPECT_TRUE(a->isEndOfStream());
  EXPECT_FALSE(b->isEndOfStream());
}

// The plain stream's reads and seeks are bounded by the disk, not by the length.
TEST_F(DiskStreamTest, TheDiskNotTheVirtualLengthBoundsReadsAndSeeks) {
  CFleckDiskStream s(disk);
  s.setVirtualLength(kDiskSize + 100);
  s.seek(kDiskSize);
  EXPECT_EQ(ioCode([&] { s.seek(kDiskSize + 1); }), zel::CIOError::InvalidPosition);
  EXPECT_EQ(s.getPosition(), kDiskSize);

  s.setVirtualLength(100);
  s.seek(90);
  Bytes buffer(50);
  s.read(buffer.data(), 50);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), data.begin() + 90));
  EXPECT_EQ(s.getPosition(), 140);
  EXPECT_TRUE(s.isEndOfStream());
}

TEST_F(DiskStreamTest, CopiesShareTheDiskAndEndWithoutClosingIt) {
  const long base = disk->getRefCount();
  {
    CFleckDiskStream s(disk);
    s.setVirtualLength(5000);
    CFleckDiskStream copy(s);
    EXPECT_EQ(disk->getRefCount(), base + 2);
    EXPECT_EQ(copy.getLength(), 5000);
    EXPECT_EQ(copy.getURI(), folder);
    copy.close();
    EXPECT_EQ(s.getLength(), 5000);  // closing the copy leaves the original open

    CFleckDiskStream assigned(disk);
    assigned = s;
    EXPECT_EQ(assigned.getLength(), 5000);
    s.close();
    assigned.seek(4000);
    EXPECT_EQ(disk->getPosition(), 4000);
    copy = assigned;
    EXPECT_EQ(disk->getRefCount(), base + 2);
  }
  EXPECT_EQ(disk->getRefCount(), base);
}

TEST_F(DiskStreamTest, WritesToAReadOnlyDiskFailAndLeaveTheLength) {
  auto readOnly = zel::make<CFleckDisk>(fs, folder, "", zel::IIOStream::AccessRead, 1);
  CFleckDiskStream s(readOnly);
  s.setVirtualLength(100);
  s.seek(100);
  const Bytes bytes(10, 1);
  EXPECT_THROW(s.write(bytes.data(), 10, nullptr), zel::CError);
  EXPECT_EQ(s.getLength(), 100);
  s.close();
}

}  // namespace
}  // namespace fleck
