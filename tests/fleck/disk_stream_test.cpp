// The disk streams (plain, cached, read-ahead): their shared promises, random operations
// against a byte array, failures in the cache, and the read-ahead's threads and damage.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "FleckTestSupport.h"
#include "fleck/CFleckDiskStream.h"
#include "fleck/CFleckDiskStreamWithCache.h"
#include "fleck/CFleckDiskStreamWithParallelReadAhead.h"
#include "fleck/CParallelReadAheadManager.h"
#include "support/CFaultInjectingFileSystem.h"
#include "support/TempFolder.h"
#include "zel/CLocalFileSystem.h"

namespace fleck::test {
namespace {

using Bytes = std::vector<unsigned char>;
constexpr auto kWrite = zel::IIOStream::AccessReadWrite;
constexpr auto kRead = zel::IIOStream::AccessRead;
constexpr int kFleck = 4096;
constexpr std::int64_t kSize = 40 * kFleck + 123;  // the last fleck is partial
const std::string kNone = "none";
const std::string kEnd = "io " + std::to_string(zel::CIOError::EndOfStream);
const std::string kBadPosition = "io " + std::to_string(zel::CIOError::InvalidPosition);
const std::string kClosed = "io " + std::to_string(zel::CIOError::StreamClosed);

struct StreamKind {
  const char* name;
  int readAheadThreads;  // 0: not a read-ahead stream
  bool cached;
};

void PrintTo(const StreamKind& kind, std::ostream* out) {
  *out << kind.name;
}

zel::P<zel::IInStream> openStream(const StreamKind& kind, CFleckDisk* disk) {
  if (kind.readAheadThreads > 0)
    return zel::make<CFleckDiskStreamWithParallelReadAhead>(disk, kind.readAheadThreads);
  if (kind.cached) return zel::make<CFleckDiskStreamWithCache>(disk);
  return zel::make<CFleckDiskStream>(disk);
}

// Sets the virtual length of a plain or cached stream.
void setVirtualLength(zel::IInStream& s, std::int64_t length) {
  if (auto* cached = dynamic_cast<CFleckDiskStreamWithCache*>(&s)) {
    cached->setVirtualLength(length);
  } else {
    dynamic_cast<CFleckDiskStream&>(s).setVirtualLength(length);
  }
}

class StreamFixture : public ::testing::Test {
 public:
  // A stream of `kind` over a disk that holds `content` and no more.
  zel::P<zel::IInStream> open(const Bytes& content, int fleckSize = kFleck) {
    makeDisk(fs, folder, static_cast<std::int64_t>(content.size()), fleckSize, "", content);
    disk = zel::make<CFleckDisk>(fs, folder, "", kind.readAheadThreads == 0 ? kWrite : kRead, 2);
    return openStream(kind, disk);
  }
  // `n` bytes from `from` (default: the whole disk) as a fresh disk object reads them.
  Bytes stored(std::int64_t from = 0, std::int64_t n = -1) {
    CFleckDisk reader(fs, folder, "", kRead, 1);
    Bytes bytes(static_cast<std::size_t>(n < 0 ? reader.getSize() : n));
    reader.seek(from);
    reader.read(bytes.data(), static_cast<int>(bytes.size()));
    return bytes;
  }

  StreamKind kind{"Plain", 0, false};
  TempFolder root;
  zel::P<CFaultInjectingFileSystem> fs =
      zel::make<CFaultInjectingFileSystem>(zel::make<zel::CLocalFileSystem>());
  zel::CURI folder = root.uri() << "disk";
  zel::P<CFleckDisk> disk;
};

class DiskStreamTest : public StreamFixture, public ::testing::WithParamInterface<StreamKind> {
 protected:
  void SetUp() override { kind = GetParam(); }
};

TEST_P(DiskStreamTest, SeeksStayInsideAndReadsEndAtTheDisksEnd) {
  const Bytes data = pattern(kSize, 7);
  zel::P<zel::IInStream> s = open(data);
  EXPECT_EQ(s->getLength(), kSize);
  EXPECT_FALSE(s->isEndOfStream());
  for (std::int64_t bad : {std::int64_t{-1}, kSize + 1})
    EXPECT_EQ(whatThrows([&] { s->seek(bad); }), kBadPosition) << bad;
  s->seek(kSize);
  EXPECT_TRUE(s->isEndOfStream());

  // A read past the end hands over what there is, then fails naming the disk.
  Bytes buffer(100, 0);
  s->seek(kSize - 40);
  try {
    s->read(buffer.data(), 100);
    ADD_FAILURE() << "a read past the end did not fail";
  } catch (const zel::CIOError& e) {
    EXPECT_EQ(e.getIOCode(), zel::CIOError::EndOfStream);
    EXPECT_EQ(e.getProps().lookup("uri"), folder.toString(true));
  }
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 40, data.end() - 40));
  EXPECT_EQ(s->getPosition(), kSize);
  EXPECT_EQ(s->readLax(buffer.data(), 100), 0);
  EXPECT_EQ(whatThrows([&] { s->read(buffer.data(), 0); }), kNone);
  if (auto* io = dynamic_cast<zel::IIOStream*>(s.get())) {  // a write may end at the end
    s->seek(kSize - 40);
    EXPECT_EQ(whatThrows([&] { io->write(buffer.data(), 40, nullptr); }), kNone);
    EXPECT_EQ(whatThrows([&] { io->write(buffer.data(), 1, nullptr); }), kEnd);
  }
  EXPECT_EQ(whatThrows([&] { s->lockRange(0, 10, zel::IStreamBase::LockShared); }),
            "fs " + std::to_string(zel::CFileSystemError::Unsupported));
}

TEST_P(DiskStreamTest, ClosedStreamsRefuseAllButTheirURIAndLetGoOfTheDisk) {
  zel::P<zel::IInStream> s = open(pattern(kSize, 1));
  const long before = disk->getRefCount();
  s->close();
  EXPECT_LT(disk->getRefCount(), before);
  EXPECT_EQ(whatThrows([&] { s->close(); }), kNone);
  EXPECT_EQ(s->getURI(), folder);
  unsigned char byte = 0;
  std::vector<std::function<void()>> operations = {
      [&] { s->seek(0); }, [&] { s->read(&byte, 1); }, [&] { s->readLax(&byte, 1); },
      [&] { s->getPosition(); }, [&] { s->isEndOfStream(); }};
  if (auto* io = dynamic_cast<zel::IIOStream*>(s.get())) {
    operations.insert(
        operations.end(),
        {[=] { io->getLength(); }, [=] { io->flush(); }, [=] { io->write(&byte, 1, nullptr); },
         [&] { setVirtualLength(*s, 10); }, [=] { io->createWriteBarrier(nullptr); }});
  }
  for (std::size_t i = 0; i < operations.size(); ++i)
    EXPECT_EQ(whatThrows(operations[i]), kClosed) << "operation " << i;
}

// Random reads, writes, seeks, length changes and flushes against a byte array; after
// every flush a fresh disk object must read what the model holds.
void checkAgainstModel(StreamFixture& t, int fleckSize, std::int64_t size, int steps,
                       unsigned fallbackSeed) {
  const unsigned seed = seedFromEnvironment(fallbackSeed);
  SCOPED_TRACE("seed " + std::to_string(seed) + " (set FLECK_TEST_SEED to repeat)");
  std::mt19937_64 random(seed);
  auto pick = [&](std::int64_t low, std::int64_t high) {
    return std::uniform_int_distribution<std::int64_t>(low, high)(random);
  };
  Bytes model(static_cast<std::size_t>(size), 0);
  for (int region = 0; region < 6; ++region) {  // some data, zeros elsewhere
    const std::int64_t start = pick(0, size - 1);
    const std::int64_t n = std::min<std::int64_t>(pick(1, 2LL * fleckSize), size - start);
    std::generate_n(model.begin() + start, n, [&] { return static_cast<unsigned char>(random()); });
  }
  zel::P<zel::IInStream> s = t.open(model, fleckSize);
  auto* io = dynamic_cast<zel::IIOStream*>(s.get());
  std::int64_t length = size, position = 0, lastWrite = 0;
  const int maxTransfer = 3 * fleckSize;
  Bytes buffer(static_cast<std::size_t>(maxTransfer));
  auto expectModel = [&](std::int64_t from, int n) {
    ASSERT_TRUE(std::equal(buffer.begin(), buffer.begin() + n, model.begin() + from))
        << n << " bytes at " << from;
  };
  for (int step = 0; step < steps && !::testing::Test::HasFatalFailure(); ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    ASSERT_EQ(s->getLength(), length);
    ASSERT_EQ(s->getPosition(), position);
    ASSERT_EQ(s->isEndOfStream(), position >= length);
    const int op = static_cast<int>(pick(0, io != nullptr ? 9 : 4));
    std::fill(buffer.begin(), buffer.end(), 0);
    if (op <= 1) {
      // Past the length only where it is the disk's end (the plain stream alone reads on).
      int n = static_cast<int>(pick(0, maxTransfer));
      if (length < size) n = static_cast<int>(std::min<std::int64_t>(n, length - position));
      const int inside = static_cast<int>(std::min<std::int64_t>(n, size - position));
      ASSERT_EQ(whatThrows([&] { s->read(buffer.data(), n); }), inside < n ? kEnd : kNone);
      expectModel(position, inside);
      position += inside;
    } else if (op <= 3) {
      // Up to the length; one beyond the disk's end still fails there.
      const int n = static_cast<int>(pick(-1, maxTransfer));
      const int want =
          static_cast<int>(std::clamp<std::int64_t>(length - position, 0, std::max(n, 0)));
      const int inside = static_cast<int>(std::min<std::int64_t>(want, size - position));
      int got = -1;
      ASSERT_EQ(whatThrows([&] { got = s->readLax(buffer.data(), n); }),
                inside < want ? kEnd : kNone);
      ASSERT_EQ(got, inside == want ? want : -1);
      expectModel(position, inside);
      position += inside;
    } else if (op == 4) {
      // Not between the disk's end and a longer length, where only the cached stream
      // can go.
      const std::int64_t target = pick(0, 9) == 0 ? length + 1 : pick(-2, std::min(length, size));
      const bool valid = target >= 0 && target <= length;
      ASSERT_EQ(whatThrows([&] { s->seek(target); }), valid ? kNone : kBadPosition);
      if (valid) position = target;
    } else if (op <= 6) {
      // Now and then one that would pass the disk's end: refused whole.
      const int n = static_cast<int>(pick(1, maxTransfer));
      const Bytes bytes = pattern(static_cast<std::size_t>(n), static_cast<unsigned>(random()));
      const bool fits = position + n <= size;
      ASSERT_EQ(whatThrows([&] { io->write(bytes.data(), n, nullptr); }), fits ? kNone : kEnd);
      if (!fits) continue;
      std::copy(bytes.begin(), bytes.end(), model.begin() + position);
      lastWrite = position;
      position += n;
      length = std::max(length, position);
    } else if (op == 7) {
      const std::int64_t target = pick(0, 9) == 0 ? -1 : pick(0, size + fleckSize);
      ASSERT_EQ(whatThrows([&] { setVirtualLength(*s, target); }),
                target < 0 ? kBadPosition : kNone);
      if (target < 0) continue;
      length = target;
      position = std::min(position, target);
    } else {
      io->flush();
      // The flecks of the last write, which a flush that does not wait leaves unsaved.
      const std::int64_t from = lastWrite - lastWrite % fleckSize;
      const Bytes now = t.stored(from, std::min<std::int64_t>(size - from, 4LL * fleckSize));
      ASSERT_TRUE(std::equal(now.begin(), now.end(), model.begin() + from)) << "after a flush";
    }
  }
  if (::testing::Test::HasFatalFailure()) return;
  if (io != nullptr) setVirtualLength(*s, size);
  Bytes whole(static_cast<std::size_t>(size));
  s->seek(0);
  s->read(whole.data(), static_cast<int>(size));
  EXPECT_EQ(whole, model);
  s->close();
  s = nullptr;
  t.disk = nullptr;
  EXPECT_EQ(t.stored(), model);
}

TEST_P(DiskStreamTest, RandomOperationsMatchAByteArray) {
  checkAgainstModel(*this, kFleck, kSize,
                    (GetParam().readAheadThreads > 0 ? 400 : 2500) / kModelStepDivisor, 1);
}

INSTANTIATE_TEST_SUITE_P(Kinds, DiskStreamTest,
                         ::testing::Values(StreamKind{"Plain", 0, false},
                                           StreamKind{"Cached", 0, true},
                                           StreamKind{"ReadAhead1", 1, false},
                                           StreamKind{"ReadAhead8", 8, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// 1 MiB flecks: 37 of them against a cache of 32, so flecks are evicted and loaded again.
class CachedStreamTest : public StreamFixture {
 protected:
  void SetUp() override { kind = {"Cached", 0, true}; }
};

TEST_F(CachedStreamTest, EvictsAndReloadsWithoutLosingWrites) {
  checkAgainstModel(*this, 1 << 20, 36LL * (1 << 20) + 123, 250 / kModelStepDivisor, 3);
}

// A failed load caches nothing and can be retried; bytes a disk refuses to take do not
// stay in the cache.
TEST_F(CachedStreamTest, FailuresLeaveNothingInTheCache) {
  const Bytes data = pattern(3 * kFleck, 7);
  zel::P<zel::IInStream> in = open(data);
  auto& s = dynamic_cast<CFleckDiskStreamWithCache&>(*in);
  LogCapture quiet;
  fs->addRule({.op = CFaultInjectingFileSystem::OpenStream, .pathContains = ".fleck", .times = 1});
  Bytes back(100);
  s.seek(kFleck + 10);
  EXPECT_THROW(s.read(back.data(), 100), zel::CFileSystemError);
  EXPECT_FALSE(s.isFleckCached(1));
  EXPECT_EQ(s.getPosition(), kFleck + 10);
  s.read(back.data(), 100);
  EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin() + kFleck + 10));

  CFleckDiskStreamWithCache readOnly(zel::make<CFleckDisk>(fs, folder, "", kRead, 1));
  readOnly.read(back.data(), 100);
  readOnly.seek(0);
  EXPECT_NE(whatThrows([&] { readOnly.write(Bytes(100, 0xee).data(), 100, nullptr); }), kNone);
  EXPECT_EQ(readOnly.getPosition(), 0);
  readOnly.read(back.data(), 100);
  EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin()));
}

using ReadAheadTest = CachedStreamTest;

TEST_F(ReadAheadTest, ADamagedFleckFailsWhereItIsAndReadingGoesOnBehindIt) {
  kind = {"ReadAhead2", 2, false};
  const Bytes content = pattern(8 * kFleck, 3);
  zel::P<zel::IInStream> s = open(content);
  const std::string file = root.path() + "/disk/flecks/d00/c00/b00/a00/03.fleck";
  std::string bytes = readFile(file);
  bytes[bytes.size() / 2] ^= 0x10;
  writeFile(file, bytes);
  LogCapture quiet;
  Bytes got(5 * kFleck, 0);
  const std::string damaged = "error: Fleck file is corrupted.";
  EXPECT_EQ(whatThrows([&] { s->readLax(got.data(), 5 * kFleck); }), damaged);
  EXPECT_EQ(s->getPosition(), 3 * kFleck);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + 3 * kFleck, content.begin()));
  s->seek(0);
  EXPECT_EQ(s->readLax(got.data(), kFleck), kFleck);
  s->seek(3 * kFleck);
  EXPECT_EQ(whatThrows([&] { s->readLax(got.data(), 10); }), damaged);  // again
  s->seek(4 * kFleck);
  EXPECT_EQ(s->readLax(got.data(), kFleck), kFleck);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + kFleck, content.begin() + 4 * kFleck));
  // Closed in the middle of reading, and right after its threads started.
  s->close();
  for (int i = 0; i < 20; ++i)
    zel::make<CFleckDiskStreamWithParallelReadAhead>(disk, 3)->close();
  EXPECT_EQ(whatThrows([&] { CFleckDiskStreamWithParallelReadAhead(disk, 0); }), "arg");
  EXPECT_EQ(whatThrows([&] { CParallelReadAheadManager(4, 0); }), "arg");
}

TEST(ReadAheadManagerTest, ThreadsReadEveryFleckOnceInOrderAndAnErrorOnlyOnce) {
  auto manager = zel::make<CParallelReadAheadManager>(10, 2);
  std::atomic<int> reads[10] = {};
  const auto work = [&] {
    for (std::int64_t i; (i = manager->nextFleckIndexForReadAhead()) != -1;) {
      ++reads[i];
      const auto byte = static_cast<unsigned char>(i);
      if (i == 4) {
        manager->storeReadAheadResult(i, nullptr, zel::make<zel::CError>("cannot read"));
      } else {
        manager->storeReadAheadResult(i, zel::make<zel::TBuffer<unsigned char>>(&byte, 1), nullptr);
      }
    }
  };
  std::thread a(work), b(work);
  for (std::int64_t i = 0; i < 10; ++i) {
    EXPECT_LE(manager->getOutstandingCount(), 2);
    zel::P<zel::TBuffer<unsigned char>> data;
    EXPECT_EQ(whatThrows([&] { data = manager->getFleckData(i); }),
              i == 4 ? "error: cannot read" : kNone);
    if (data != nullptr) {
      EXPECT_EQ(data->getData()[0], i);
    }
  }
  manager->signalStop();
  a.join();
  b.join();
  for (const auto& n : reads)
    EXPECT_EQ(n, 1);
}

}  // namespace
}  // namespace fleck::test
