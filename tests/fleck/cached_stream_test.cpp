// What the cached disk stream adds to the plain one: the cache's size, which flecks it
// keeps, when it loads, that writes go through and stay visible, how it handles
// failures; and a randomized comparison with the plain stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "FleckTestSupport.h"
#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskStream.h"
#include "fleck/CFleckDiskStreamWithCache.h"
#include "support/CFaultInjectingFileSystem.h"
#include "support/TempFolder.h"
#include "zel/CFileSystemError.h"
#include "zel/CIOError.h"
#include "zel/CLocalFileSystem.h"
#include "zel/Log.h"

namespace fleck {
namespace {

using fleck::test::CFaultInjectingFileSystem;
using fleck::test::pattern;
using fleck::test::seedFromEnvironment;
using fleck::test::TempFolder;
using Bytes = std::vector<unsigned char>;
constexpr auto kWrite = zel::IIOStream::AccessReadWrite;

// The code of the zel::CIOError `action` throws; -1 when it throws none, -2 for any
// other error.
int errorCode(const std::function<void()>& action) {
  try {
    action();
  } catch (const zel::CIOError& e) {
    return e.getIOCode();
  } catch (const zel::CError&) {
    return -2;
  }
  return -1;
}

class CachedStreamTest : public ::testing::Test {
 protected:
  // A disk of `size` bytes; `content` (if any) written from 0 and flushed.
  zel::CURI makeDisk(const char* name, std::int64_t size, int fleckSize,
                     const Bytes& content = Bytes()) {
    const zel::CURI folder = root.uri() << name;
    CFleckDisk::create(fs, folder, size, 1, "", "lz4", fleckSize);
    if (!content.empty()) {
      CFleckDisk disk(fs, folder, "", kWrite, 2);
      disk.write(content.data(), static_cast<int>(content.size()));
    }
    return folder;
  }

  TempFolder root;
  zel::P<CFaultInjectingFileSystem> fs =
      zel::make<CFaultInjectingFileSystem>(zel::make<zel::CLocalFileSystem>());
};

TEST_F(CachedStreamTest, CapacityIs32MiBOfFlecksAndAtLeastTen) {
  EXPECT_EQ(CFleckDiskStreamWithCache::computeCacheCapacity(65536), 512);
  EXPECT_EQ(CFleckDiskStreamWithCache::computeCacheCapacity(1 << 20), 32);
  EXPECT_EQ(CFleckDiskStreamWithCache::computeCacheCapacity(3 << 20), 10);  // 10.67 rounds down
  EXPECT_EQ(CFleckDiskStreamWithCache::computeCacheCapacity(1 << 30), 10);
  auto large = zel::make<CFleckDisk>(fs, makeDisk("large", 32 << 20, 8 << 20), "", kWrite, 1);
  EXPECT_EQ(CFleckDiskStreamWithCache(large).getCacheCapacity(), 10);
}

TEST_F(CachedStreamTest, TheLeastRecentlyUsedFleckIsEvicted) {
  constexpr int kFleck = 4 << 20;  // capacity 10
  auto disk = zel::make<CFleckDisk>(fs, makeDisk("d", 13LL * kFleck, kFleck), "", kWrite, 1);
  CFleckDiskStreamWithCache s(disk);
  ASSERT_EQ(s.getCacheCapacity(), 10);
  unsigned char byte = 1;
  auto touch = [&](std::int64_t fleck) {
    s.seek(fleck * kFleck + 5);
    s.read(&byte, 1);
  };
  for (int f = 0; f < 10; ++f)
    touch(f);
  EXPECT_EQ(s.getFleckLoadCount(), 10);
  touch(0);  // a hit: fleck 0 is the most recent now, fleck 1 the least
  EXPECT_EQ(s.getFleckLoadCount(), 10);
  touch(10);
  EXPECT_EQ(s.getFleckLoadCount(), 11);
  EXPECT_TRUE(s.isFleckCached(0));
  EXPECT_FALSE(s.isFleckCached(1));
  for (int f = 2; f <= 10; ++f)
    EXPECT_TRUE(s.isFleckCached(f)) << f;

  // isFleckCached does not refresh: fleck 2 goes next, then fleck 3.
  touch(11);
  EXPECT_FALSE(s.isFleckCached(2));
  touch(1);
  EXPECT_EQ(s.getFleckLoadCount(), 13);
  EXPECT_FALSE(s.isFleckCached(3));
  EXPECT_TRUE(s.isFleckCached(0));
  EXPECT_EQ(byte, 0);  // unwritten flecks read as zeros
}

TEST_F(CachedStreamTest, WritesGoThroughAndStayVisibleWithoutReloading) {
  const Bytes content = pattern(10 * 65536, 1);
  const zel::CURI folder = makeDisk("d", 10 * 65536, 65536, content);
  auto disk = zel::make<CFleckDisk>(fs, folder, "", kWrite, 2);
  CFleckDiskStreamWithCache s(disk);

  Bytes buffer(300);
  s.seek(3 * 65536 + 100);
  s.read(buffer.data(), 300);
  EXPECT_EQ(s.getFleckLoadCount(), 1);
  s.seek(5 * 65536);
  s.read(buffer.data(), 10);  // the disk's own fleck object moves on to fleck 5
  EXPECT_EQ(s.getFleckLoadCount(), 2);

  // Into the cached fleck 3, crossing into the uncached fleck 4.
  const Bytes bytes = pattern(400, 77);
  s.seek(4 * 65536 - 200);
  s.write(bytes.data(), 400, nullptr);
  EXPECT_EQ(s.getPosition(), 4 * 65536 + 200);
  EXPECT_EQ(s.getFleckLoadCount(), 3);  // fleck 4 was loaded after its write
  EXPECT_TRUE(s.isFleckCached(4));

  Bytes back(65536 * 2);
  s.seek(3 * 65536);
  s.read(back.data(), 65536 * 2);
  EXPECT_EQ(s.getFleckLoadCount(), 3);
  Bytes expected(content.begin() + 3 * 65536, content.begin() + 5 * 65536);
  std::copy(bytes.begin(), bytes.end(), expected.begin() + 65536 - 200);
  EXPECT_EQ(back, expected);

  // The disk holds the bytes too.
  s.flush();
  CFleckDisk other(fs, folder, "", zel::IIOStream::AccessRead, 1);
  Bytes onDisk(400);
  other.seek(4 * 65536 - 200);
  other.read(onDisk.data(), 400);
  EXPECT_EQ(onDisk, bytes);
}

TEST_F(CachedStreamTest, ByteWiseSequentialReadsLoadEachFleckOnce) {
  constexpr int kFleck = 4096;
  const Bytes content = pattern(8 * kFleck, 3);
  const zel::CURI folder = makeDisk("d", 8 * kFleck, kFleck, content);
  auto disk = zel::make<CFleckDisk>(fs, folder, "", kWrite, 2);
  const int opensBefore = fs->getCallCount(CFaultInjectingFileSystem::OpenStream);
  CFleckDiskStreamWithCache s(disk);
  Bytes back(content.size());
  for (auto& b : back)
    s.read(&b, 1);
  EXPECT_EQ(back, content);
  EXPECT_EQ(s.getFleckLoadCount(), 8);
  // Each fleck file was opened once: the disk underneath was asked once per fleck.
  EXPECT_EQ(fs->getCallCount(CFaultInjectingFileSystem::OpenStream) - opensBefore, 8);
  EXPECT_TRUE(s.isEndOfStream());
}

TEST_F(CachedStreamTest, AWritePastTheLengthRaisesItForTheInnerStreamToo) {
  const Bytes content = pattern(2 * 65536, 4);
  auto disk = zel::make<CFleckDisk>(fs, makeDisk("d", 2 * 65536, 65536, content), "", kWrite, 2);
  CFleckDiskStreamWithCache s(disk);
  s.setVirtualLength(1000);
  s.seek(1000);
  const Bytes bytes = pattern(10, 5);
  // Fleck 0 is not cached: it is loaded after the write through the inner stream,
  // whose virtual length must have grown with the write for the new bytes to arrive.
  s.write(bytes.data(), 10, nullptr);
  EXPECT_EQ(s.getLength(), 1010);
  EXPECT_EQ(s.getFleckLoadCount(), 1);
  Bytes back(20, 0);
  s.seek(995);
  EXPECT_EQ(s.readLax(back.data(), 20), 15);
  EXPECT_TRUE(std::equal(content.begin() + 995, content.begin() + 1000, back.begin()));
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), back.begin() + 5));

  // Writing on at the length through the cached copy.
  s.write(bytes.data(), 10, nullptr);
  EXPECT_EQ(s.getLength(), 1020);
  s.seek(1010);
  s.read(back.data(), 10);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), back.begin()));
  EXPECT_EQ(s.getFleckLoadCount(), 1);
}

TEST_F(CachedStreamTest, GrowingTheLengthReloadsFlecksThatWereLoadedShort) {
  const Bytes content = pattern(2 * 65536, 6);
  auto disk = zel::make<CFleckDisk>(fs, makeDisk("d", 2 * 65536, 65536, content), "", kWrite, 2);
  CFleckDiskStreamWithCache s(disk);
  Bytes back(2000);
  s.setVirtualLength(100000);  // inside fleck 1
  s.seek(70000);
  s.read(back.data(), 10);
  s.seek(0);
  s.read(back.data(), 10);
  EXPECT_EQ(s.getFleckLoadCount(), 2);

  s.setVirtualLength(2 * 65536);
  EXPECT_TRUE(s.isFleckCached(0));   // was whole
  EXPECT_FALSE(s.isFleckCached(1));  // was cut at 100000
  s.seek(99000);
  s.read(back.data(), 2000);
  EXPECT_TRUE(std::equal(back.begin(), back.end(), content.begin() + 99000));
  EXPECT_EQ(s.getFleckLoadCount(), 3);

  // Shrinking keeps the cached flecks; the bytes beyond the length are simply not read.
  s.setVirtualLength(50);
  EXPECT_TRUE(s.isFleckCached(0));
  EXPECT_TRUE(s.isFleckCached(1));
  EXPECT_EQ(s.getPosition(), 50);
}

TEST_F(CachedStreamTest, AFailedLoadCachesNothingAndCanBeRetried) {
  const Bytes content = pattern(3 * 65536, 7);
  auto disk = zel::make<CFleckDisk>(fs, makeDisk("d", 3 * 65536, 65536, content), "", kWrite, 2);
  CFleckDiskStreamWithCache s(disk);
  zel::LogSink previous =
      zel::setLogSink([](const zel::String&, const std::exception&, const zel::String&) {});
  fs->addRule({.op = CFaultInjectingFileSystem::OpenStream,
               .pathContains = ".fleck",
               .problem = zel::CFileSystemError::Other,
               .times = 1});
  Bytes back(100);
  s.seek(65536 + 10);
  EXPECT_THROW(s.read(back.data(), 100), zel::CFileSystemError);
  zel::setLogSink(previous);
  EXPECT_FALSE(s.isFleckCached(1));
  EXPECT_EQ(s.getFleckLoadCount(), 0);
  EXPECT_EQ(s.getPosition(), 65536 + 10);

  s.read(back.data(), 100);
  EXPECT_TRUE(std::equal(back.begin(), back.end(), content.begin() + 65536 + 10));
  EXPECT_EQ(s.getFleckLoadCount(), 1);
}

TEST_F(CachedStreamTest, AFailedWriteLeavesNoChangedBytesInTheCache) {
  const Bytes content = pattern(2 * 65536, 8);
  const zel::CURI folder = makeDisk("d", 2 * 65536, 65536, content);
  auto disk = zel::make<CFleckDisk>(fs, folder, "", zel::IIOStream::AccessRead, 1);
  CFleckDiskStreamWithCache s(disk);
  Bytes back(100);
  s.read(back.data(), 100);
  ASSERT_TRUE(s.isFleckCached(0));

  const Bytes bytes(100, 0xee);
  s.seek(0);
  EXPECT_EQ(errorCode([&] { s.write(bytes.data(), 100, nullptr); }), -2);  // read-only disk
  EXPECT_EQ(s.getPosition(), 0);
  EXPECT_EQ(s.getLength(), 2 * 65536);
  EXPECT_FALSE(s.isFleckCached(0));
  s.read(back.data(), 100);
  EXPECT_TRUE(std::equal(back.begin(), back.end(), content.begin()));
}

TEST_F(CachedStreamTest, CloseReleasesTheDiskAndTheDestructorClosesIt) {
  auto disk = zel::make<CFleckDisk>(fs, makeDisk("d", 65536, 4096), "", kWrite, 1);
  const long base = disk->getRefCount();
  {
    CFleckDiskStreamWithCache s(disk);
    EXPECT_GT(disk->getRefCount(), base);
  }
  EXPECT_EQ(disk->getRefCount(), base);
  CFleckDiskStreamWithCache s(disk);
  unsigned char byte = 0;
  s.read(&byte, 1);
  s.close();
  EXPECT_EQ(disk->getRefCount(), base);
  EXPECT_TRUE(s.isFleckCached(0));  // the memory goes with the object, not with close
}

// Random reads, writes, seeks and length changes on the cached stream over one disk
// and the plain stream over another with the same content: every answer, every error
// code and finally both disks must agree.
struct CrossCheckCase {
  int fleckSize;
  std::int64_t diskSize;
  int steps;
  unsigned seed;
};

void PrintTo(const CrossCheckCase& c, std::ostream* out) {
  *out << "fleck size " << c.fleckSize << ", disk size " << c.diskSize << ", " << c.steps
       << " steps, seed " << c.seed;
}

class CachedStreamCrossCheck : public CachedStreamTest,
                               public ::testing::WithParamInterface<CrossCheckCase> {};

TEST_P(CachedStreamCrossCheck, AgreesWithThePlainStream) {
  const CrossCheckCase c = GetParam();
  const unsigned seed = seedFromEnvironment(c.seed);
  SCOPED_TRACE("seed " + std::to_string(seed) + " (set FLECK_TEST_SEED to repeat)");
  std::mt19937_64 random(seed);
  auto pick = [&](std::int64_t low, std::int64_t high) {
    return std::uniform_int_distribution<std::int64_t>(low, high)(random);
  };

  // The same content on both: a few written regions, zeros elsewhere.
  Bytes content(static_cast<std::size_t>(c.diskSize), 0);
  for (int region = 0; region < 6; ++region) {
    const std::int64_t start = pick(0, c.diskSize - 1);
    const std::int64_t n = std::min<std::int64_t>(pick(1, 2LL * c.fleckSize), c.diskSize - start);
    for (std::int64_t i = 0; i < n; ++i)
      content[start + i] = static_cast<unsigned char>(random());
  }
  const zel::CURI plainFolder = makeDisk("plain", c.diskSize, c.fleckSize, content);
  const zel::CURI cachedFolder = makeDisk("cached", c.diskSize, c.fleckSize, content);
  auto plainDisk = zel::make<CFleckDisk>(fs, plainFolder, "", kWrite, 2);
  auto cachedDisk = zel::make<CFleckDisk>(fs, cachedFolder, "", kWrite, 2);
  auto plain = zel::make<CFleckDiskStream>(plainDisk.get());
  auto cached = zel::make<CFleckDiskStreamWithCache>(cachedDisk.get());

  const int maxTransfer = 3 * c.fleckSize;
  Bytes a(static_cast<std::size_t>(maxTransfer));
  Bytes b(static_cast<std::size_t>(maxTransfer));
  for (int step = 0; step < c.steps && !HasFailure(); ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    const std::int64_t length = plain->getLength();
    const std::int64_t position = plain->getPosition();
    ASSERT_EQ(cached->getLength(), length);
    ASSERT_EQ(cached->getPosition(), position);
    ASSERT_EQ(cached->isEndOfStream(), plain->isEndOfStream());
    const int op = static_cast<int>(pick(0, 9));
    if (op <= 2) {
      // read within the length (the plain read is not bounded by it; the cached one is)
      const int n =
          static_cast<int>(pick(0, std::min<std::int64_t>(maxTransfer, length - position)));
      std::fill(a.begin(), a.end(), 0);
      std::fill(b.begin(), b.end(), 0);
      ASSERT_EQ(errorCode([&] { plain->read(a.data(), n); }), -1);
      ASSERT_EQ(errorCode([&] { cached->read(b.data(), n); }), -1);
      ASSERT_EQ(a, b);
    } else if (op <= 4) {
      const int n = static_cast<int>(pick(0, maxTransfer));
      std::fill(a.begin(), a.end(), 0);
      std::fill(b.begin(), b.end(), 0);
      ASSERT_EQ(plain->readLax(a.data(), n), cached->readLax(b.data(), n));
      ASSERT_EQ(a, b);
    } else if (op <= 6) {
      // Now and then one that would pass the disk's end: both refuse it whole.
      const int n = static_cast<int>(pick(1, maxTransfer));
      const Bytes bytes = pattern(static_cast<std::size_t>(n), static_cast<unsigned>(random()));
      const int plainCode = errorCode([&] { plain->write(bytes.data(), n, nullptr); });
      ASSERT_EQ(errorCode([&] { cached->write(bytes.data(), n, nullptr); }), plainCode);
      ASSERT_EQ(plainCode, position + n > c.diskSize ? zel::CIOError::EndOfStream : -1);
    } else if (op == 7) {
      const std::int64_t target = pick(-2, length + 2);
      ASSERT_EQ(errorCode([&] { cached->seek(target); }), errorCode([&] { plain->seek(target); }));
    } else if (op == 8) {
      const std::int64_t target = pick(0, 9) == 0 ? -1 : pick(0, c.diskSize);
      ASSERT_EQ(errorCode([&] { cached->setVirtualLength(target); }),
                errorCode([&] { plain->setVirtualLength(target); }));
    } else {
      plain->flush();
      cached->flush();
    }
  }
  if (HasFailure()) return;

  // Whole contents, through the streams and then through fresh disk objects.
  plain->setVirtualLength(c.diskSize);
  cached->setVirtualLength(c.diskSize);
  Bytes wholePlain(static_cast<std::size_t>(c.diskSize));
  Bytes wholeCached(static_cast<std::size_t>(c.diskSize));
  plain->seek(0);
  cached->seek(0);
  plain->read(wholePlain.data(), static_cast<int>(c.diskSize));
  cached->read(wholeCached.data(), static_cast<int>(c.diskSize));
  ASSERT_EQ(wholePlain, wholeCached);
  plain->close();
  cached->close();
  plain = nullptr;
  cached = nullptr;
  plainDisk = nullptr;
  cachedDisk = nullptr;

  CFleckDisk reopened(fs, cachedFolder, "", zel::IIOStream::AccessRead, 1);
  Bytes stored(static_cast<std::size_t>(c.diskSize));
  reopened.read(stored.data(), static_cast<int>(c.diskSize));
  EXPECT_EQ(stored, wholePlain);
}

// Small flecks: many steps, everything stays cached. 1 MiB flecks: 37 flecks against a
// capacity of 32, so flecks are evicted and loaded again.
INSTANTIATE_TEST_SUITE_P(Cases, CachedStreamCrossCheck,
                         ::testing::Values(CrossCheckCase{4096, 40 * 4096 + 123, 3000, 1},
                                           CrossCheckCase{4096, 40 * 4096 + 123, 3000, 2},
                                           CrossCheckCase{1 << 20, 36LL * (1 << 20) + 123, 250,
                                                          3}));

}  // namespace
}  // namespace fleck
