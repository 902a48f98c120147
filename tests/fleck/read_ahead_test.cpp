// Parallel read-ahead: the manager that hands flecks to read threads and their results
// to the reader, and the stream's handling of damage and of closing while threads run.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "FleckTestSupport.h"
#include "fleck/CFleckDiskStreamWithParallelReadAhead.h"
#include "fleck/CParallelReadAheadManager.h"
#include "support/TempFolder.h"
#include "zel/CLocalFileSystem.h"

namespace fleck::test {
namespace {

using Buffer = zel::TBuffer<unsigned char>;
using Bytes = std::vector<unsigned char>;
using std::chrono::milliseconds;

zel::P<Buffer> bufferFor(std::int64_t index) {
  const auto byte = static_cast<unsigned char>(index);
  return zel::make<Buffer>(&byte, 1);
}

std::int64_t indexOf(const zel::P<Buffer>& buffer) {
  return buffer->getData()[0];
}

// A read thread: records every index it is given and stores a one-byte payload for
// it, or an error for `failing`.
class Worker {
 public:
  explicit Worker(CParallelReadAheadManager& manager, std::int64_t failing = -1)
      : thread([this, &manager, failing] {
          for (std::int64_t index; (index = manager.nextFleckIndexForReadAhead()) != -1;) {
            {
              std::lock_guard<std::mutex> lock(mutex);
              given.push_back(index);
            }
            if (index == failing) {
              manager.storeReadAheadResult(index, nullptr, zel::make<zel::CError>("cannot read"));
            } else {
              manager.storeReadAheadResult(index, bufferFor(index), nullptr);
            }
          }
        }) {}
  ~Worker() { thread.join(); }
  std::vector<std::int64_t> indexes() {
    std::lock_guard<std::mutex> lock(mutex);
    return given;
  }

 private:
  std::mutex mutex;
  std::vector<std::int64_t> given;
  std::thread thread;
};

TEST(ReadAheadTest, ThreadsReadEveryFleckOnceInOrderAndAnErrorOnlyOnce) {
  auto manager = zel::make<CParallelReadAheadManager>(10, 2);
  Worker a(*manager, 4), b(*manager, 4);
  for (std::int64_t i = 0; i < 10; ++i) {
    EXPECT_LE(manager->getOutstandingCount(), 2);
    if (i == 4) {
      EXPECT_EQ(whatThrows([&] { manager->getFleckData(i); }), "error: cannot read");
    } else {
      EXPECT_EQ(indexOf(manager->getFleckData(i)), i);
    }
  }
  manager->signalStop();
  std::vector<std::int64_t> all = a.indexes(), more = b.indexes();
  all.insert(all.end(), more.begin(), more.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all, (std::vector<std::int64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST(ReadAheadTest, ClaimsWaitForTheReaderAndAJumpDropsLateResults) {
  auto manager = zel::make<CParallelReadAheadManager>(20, 2);
  EXPECT_EQ(manager->nextFleckIndexForReadAhead(), 0);
  EXPECT_EQ(manager->nextFleckIndexForReadAhead(), 1);
  auto third =
      std::async(std::launch::async, [&] { return manager->nextFleckIndexForReadAhead(); });
  EXPECT_EQ(third.wait_for(milliseconds(200)), std::future_status::timeout);
  manager->storeReadAheadResult(0, bufferFor(0), nullptr);
  EXPECT_EQ(indexOf(manager->getFleckData(0)), 0);
  EXPECT_EQ(third.get(), 2);

  // The reader jumps to 7 while 1 and 2 are claimed: their late results must not count.
  auto reader = std::async(std::launch::async, [&] { return indexOf(manager->getFleckData(7)); });
  EXPECT_EQ(manager->nextFleckIndexForReadAhead(), 7);
  manager->storeReadAheadResult(1, bufferFor(1), nullptr);
  manager->storeReadAheadResult(2, bufferFor(2), nullptr);
  EXPECT_EQ(reader.wait_for(milliseconds(100)), std::future_status::timeout);
  manager->storeReadAheadResult(7, bufferFor(7), nullptr);
  EXPECT_EQ(reader.get(), 7);
  manager->signalStop();
  EXPECT_EQ(whatThrows([&] { CParallelReadAheadManager(4, 0); }), "arg");
}

TEST(ReadAheadTest, StopWakesEveryWaiter) {
  auto manager = zel::make<CParallelReadAheadManager>(1, 3);
  // One thread claims the only fleck; two wait for work at the end; the reader waits
  // for a fleck that is claimed but never delivered.
  EXPECT_EQ(manager->nextFleckIndexForReadAhead(), 0);
  std::vector<std::future<std::int64_t>> idle;
  for (int i = 0; i < 3; ++i)
    idle.push_back(
        std::async(std::launch::async, [&] { return manager->nextFleckIndexForReadAhead(); }));
  auto reader = std::async(std::launch::async, [&] { manager->getFleckData(0); });
  EXPECT_EQ(reader.wait_for(milliseconds(100)), std::future_status::timeout);
  manager->signalStop();
  for (auto& thread : idle)
    EXPECT_EQ(thread.get(), -1);
  EXPECT_THROW(reader.get(), zel::CError);
  EXPECT_EQ(manager->nextFleckIndexForReadAhead(), -1);
}

TEST(ReadAheadTest, ADamagedFleckFailsWhereItIsAndReadingGoesOnBehindIt) {
  constexpr int kFleck = 4096;
  TempFolder root;
  zel::P<zel::IFileSystem> fs = zel::make<zel::CLocalFileSystem>();
  const Bytes content = pattern(8 * kFleck, 3);
  makeDisk(fs, root.uri() << "disk", 8 * kFleck, kFleck, "pw", content);
  const std::string file = root.path() + "/disk/flecks/d00/c00/b00/a00/03.fleck";
  std::string bytes = readFile(file);
  bytes[bytes.size() / 2] ^= 0x10;
  writeFile(file, bytes);
  LogCapture quiet;
  auto disk = zel::make<CFleckDisk>(fs, root.uri() << "disk", "pw", zel::IIOStream::AccessRead, 1);
  auto stream = zel::make<CFleckDiskStreamWithParallelReadAhead>(disk, 2);
  Bytes got(5 * kFleck, 0);
  EXPECT_THROW(stream->readLax(got.data(), 5 * kFleck), zel::CError);
  EXPECT_EQ(stream->getPosition(), 3 * kFleck);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + 3 * kFleck, content.begin()));
  stream->seek(0);
  EXPECT_EQ(stream->readLax(got.data(), kFleck), kFleck);
  stream->seek(3 * kFleck);
  EXPECT_THROW(stream->readLax(got.data(), 10), zel::CError);  // again after seeking back
  stream->seek(4 * kFleck);
  EXPECT_EQ(stream->readLax(got.data(), kFleck), kFleck);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + kFleck, content.begin() + 4 * kFleck));

  // Closed in the middle of reading, and right after its threads started.
  stream->close();
  for (int i = 0; i < 20; ++i)
    zel::make<CFleckDiskStreamWithParallelReadAhead>(disk, 3)->close();
  EXPECT_EQ(whatThrows([&] { CFleckDiskStreamWithParallelReadAhead(disk, 0); }), "arg");
}

}  // namespace
}  // namespace fleck::test
