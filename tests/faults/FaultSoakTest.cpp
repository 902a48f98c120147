// Long runs of writes, reads, flushes, reopenings and snapshots while the file system
// fails at random (I/O errors, missing folders and files, operations that cannot even
// start) at several rates. Checked at every checkpoint, with the faults off: a fleck
// whose stores reported no failure holds its newest content, every other fleck holds
// one of the contents it had since the last checkpoint (or, on a disk with a child,
// reads as zeros: its old file went into the child and the new one never arrived), and
// every snapshot is exactly what it was when it was taken.
//
// FLECK_SOAK_SECONDS sets the seconds per rate (default 1); FLECK_TEST_SEED the seed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "fleck/CFleckDisk.h"
#include "support/CFaultInjectingFileSystem.h"
#include "support/TempFolder.h"
#include "zel/CFileSystemError.h"
#include "zel/CLocalFileSystem.h"
#include "zel/Log.h"

namespace fleck {
namespace {

using fleck::test::CFaultInjectingFileSystem;
using fleck::test::TempFolder;
using FS = CFaultInjectingFileSystem;

constexpr int kFleckSize = 4096;
constexpr int kFlecks = 40;
constexpr std::int64_t kDiskSize = (kFlecks - 1) * kFleckSize + 321;  // the last one is short

unsigned seedFromEnvironment(unsigned fallback) {
  const char* text = std::getenv("FLECK_TEST_SEED");
  return text != nullptr ? static_cast<unsigned>(std::stoul(text)) : fallback;
}

double soakSeconds() {
  const char* text = std::getenv("FLECK_SOAK_SECONDS");
  return text != nullptr ? std::atof(text) : 1.0;
}

struct Counts {
  int injected = 0;
  int reportedInList = 0;
  int exceptions = 0;
  int checkpoints = 0;
  int writes = 0;
  int reads = 0;
  int reopenings = 0;
  int snapshots = 0;
};

class FaultSoak {
 public:
  FaultSoak(const std::string& root, int oneIn, unsigned seed)
      : root(zel::CURI::fromLocalPath(root)),
        faulty(zel::make<FS>(zel::make<zel::CLocalFileSystem>(), seed)),
        oneIn(oneIn),
        random(seed),
        password(seed % 2 == 0 ? "" : "soak") {
    head = this->root << "head";
    CFleckDisk::create(faulty, head, kDiskSize, 1, password, "lz4", kFleckSize);
    for (int f = 0; f < kFlecks; ++f) {
      latest[f] = std::string(static_cast<std::size_t>(length(f)), '\0');
      candidates[f] = {latest[f]};
    }
    open(false);
    faultsOn();
  }

  ~FaultSoak() {
    faulty->clearRules();
    disk.reset();
  }

  std::uint64_t pick(std::uint64_t limit) { return random() % (limit + 1); }

  static std::int64_t length(int f) {
    return std::min<std::int64_t>(kFleckSize, kDiskSize - std::int64_t{f} * kFleckSize);
  }

  void faultsOn() {
    // Failures that end a store (an I/O error), that look like a missing folder (the
    // storer creates the folders and tries once more), that stop an operation before
    // it starts, and failing reads, listings and existence checks.
    faulty->addRule(
        {.op = FS::StoreStreamAsync, .problem = zel::CFileSystemError::Other, .oneIn = oneIn});
    faulty->addRule(
        {.op = FS::StoreStreamAsync, .problem = zel::CFileSystemError::NotFound, .oneIn = oneIn});
    faulty->addRule({.op = FS::StoreStreamAsync, .throwAtCall = true, .oneIn = 3 * oneIn});
    faulty->addRule(
        {.op = FS::DeleteAsync, .problem = zel::CFileSystemError::Other, .oneIn = oneIn});
    faulty->addRule({.op = FS::MoveAsync, .problem = zel::CFileSystemError::Other, .oneIn = oneIn});
    faulty->addRule({.op = FS::MoveAsync, .throwAtCall = true, .oneIn = 3 * oneIn});
    faulty->addRule(
        {.op = FS::CreateFolderAsync, .problem = zel::CFileSystemError::Other, .oneIn = oneIn});
    faulty->addRule(
        {.op = FS::CreateFolderAsync, .problem = zel::CFileSystemError::NotFound, .oneIn = oneIn});
    faulty->addRule(
        {.op = FS::OpenStream, .problem = zel::CFileSystemError::Other, .oneIn = oneIn});
    for (FS::Op op : {FS::GetFileInfo, FS::Exists, FS::FileExists, FS::FolderExists, FS::ListFolder,
                      FS::CreateFolder}) {
      faulty->addRule({.op = op, .problem = zel::CFileSystemError::Other, .oneIn = oneIn});
    }
  }

  int injectedSoFar() const {
    int sum = 0;
    for (int op = 0; op < FS::kOpCount; ++op)
      sum += faulty->getInjectedCount(static_cast<FS::Op>(op));
    return sum;
  }

  // Opens the head; under faults an opening may fail (reported by its exception): it
  // is tried again, at last without faults.
  void open(bool underFaults) {
    disk.reset();
    errorsSeen = 0;
    for (int attempt = 0; underFaults && attempt < 10; ++attempt) {
      try {
        disk = std::make_unique<CFleckDisk>(faulty, head, password, zel::IIOStream::AccessReadWrite,
                                            3);
        return;
      } catch (const zel::CError&) {
        ++counts.exceptions;
      }
    }
    faulty->clearRules();
    disk = std::make_unique<CFleckDisk>(faulty, head, password, zel::IIOStream::AccessReadWrite, 3);
    if (underFaults) faultsOn();
  }

  void collectErrors() {
    const auto& list = disk->getBackgroundErrorList();
    std::size_t index = 0;
    for (const auto& error : list) {
      if (index++ < errorsSeen) continue;
      failed.insert(error.fleckIndex);
      ++counts.reportedInList;
    }
    errorsSeen = list.size();
  }

  void write() {
    const auto position = static_cast<std::int64_t>(pick(kDiskSize - 1));
    const bool whole = pick(3) == 0;
    const std::int64_t at = whole ? position - position % kFleckSize : position;
    const std::int64_t n =
        whole ? length(static_cast<int>(at / kFleckSize))
              : 1 + static_cast<std::int64_t>(
                        pick(std::min<std::int64_t>(2 * kFleckSize, kDiskSize - at) - 1));
    std::string bytes(static_cast<std::size_t>(n), '\0');
    const auto kind = pick(2);
    for (auto& b : bytes)
      b = kind == 0 ? '\0' : kind == 1 ? 'r' : static_cast<char>(random());
    bool threw = false;
    try {
      ++counts.writes;
      disk->seek(at);
      disk->write(bytes.data(), static_cast<int>(n));
    } catch (const zel::CError&) {
      ++counts.exceptions;
      threw = true;
    }
    // Every fleck the write touched may now hold any earlier content or that content
    // with the write applied.
    for (int f = static_cast<int>(at / kFleckSize); f <= (at + n - 1) / kFleckSize; ++f) {
      const std::int64_t start = std::int64_t{f} * kFleckSize;
      const std::int64_t from = std::max(at, start);
      const std::int64_t to = std::min(at + n, start + length(f));
      auto apply = [&](std::string content) {
        content.replace(static_cast<std::size_t>(from - start), static_cast<std::size_t>(to - from),
                        bytes, static_cast<std::size_t>(from - at),
                        static_cast<std::size_t>(to - from));
        return content;
      };
      std::set<std::string> next = candidates[f];
      for (const auto& c : candidates[f])
        next.insert(apply(c));
      candidates[f] = std::move(next);
      latest[f] = apply(latest[f]);
      touched.insert(f);
      if (threw) uncertain.insert(f);
    }
  }

  // A read under faults: what comes back must be one of the flecks' possible contents.
  void read() {
    const int f = static_cast<int>(pick(kFlecks - 1));
    std::string got(static_cast<std::size_t>(length(f)), '\0');
    try {
      ++counts.reads;
      disk->seek(std::int64_t{f} * kFleckSize);
      disk->read(got.data(), static_cast<int>(got.size()));
    } catch (const zel::CError&) {
      ++counts.exceptions;
      return;
    }
    ASSERT_TRUE(candidates[f].count(got) != 0 || (hasChild && isZero(got)))
        << "fleck " << f << " read under faults holds no content it ever had";
  }

  void flush() {
    try {
      disk->flushChanges();
    } catch (const zel::CError&) {
      ++counts.exceptions;
      for (int f : touched)
        uncertain.insert(f);
    }
    collectErrors();
  }

  static bool isZero(const std::string& bytes) {
    return bytes.find_first_not_of('\0') == std::string::npos;
  }

  std::string readWhole(CFleckDisk& which) {
    std::string bytes(static_cast<std::size_t>(kDiskSize), '\0');
    which.seek(0);
    which.read(bytes.data(), static_cast<int>(kDiskSize));
    return bytes;
  }

  // Flushes under faults, then checks everything with the faults off.
  void checkpoint() {
    ++counts.checkpoints;
    flush();
    faulty->clearRules();
    open(false);
    const std::string whole = readWhole(*disk);
    for (int f = 0; f < kFlecks; ++f) {
      const std::string got = whole.substr(static_cast<std::size_t>(f) * kFleckSize,
                                           static_cast<std::size_t>(length(f)));
      if (touched.count(f) != 0 && failed.count(f) == 0 && uncertain.count(f) == 0) {
        ASSERT_TRUE(got == latest[f]) << "fleck " << f << " lost a write that reported no failure";
      } else {
        ASSERT_TRUE(candidates[f].count(got) != 0 || (hasChild && isZero(got)))
            << "fleck " << f << " holds no content it had since the last checkpoint";
      }
      latest[f] = got;
      candidates[f] = {got};
    }
    for (const auto& [folder, expected] : snapshots) {
      CFleckDisk snapshot(faulty, folder, password, zel::IIOStream::AccessRead, 1);
      ASSERT_TRUE(readWhole(snapshot) == expected)
          << "snapshot " << folder.toString(true) << " changed";
    }
    touched.clear();
    failed.clear();
    uncertain.clear();
    // The head takes a new snapshot now and then (faults off: the test's own step).
    if (snapshots.size() < 3 && pick(5) == 0) {
      disk.reset();
      const zel::CURI child = root
                              << zel::String::fromUTF8("snap" + std::to_string(snapshots.size()));
      CFleckDisk::createChild(faulty, child, head, CFleckDisk::ChildLinked);
      snapshots[child] = whole;
      hasChild = true;
      ++counts.snapshots;
      open(false);
    }
    faultsOn();
  }

  void run(double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    // At least a few checkpoints, however slow the build.
    for (int cycle = 0; (cycle < 8 || std::chrono::steady_clock::now() < end) &&
                        !::testing::Test::HasFatalFailure();
         ++cycle) {
      const int steps = 1 + static_cast<int>(pick(12));
      for (int i = 0; i < steps && !::testing::Test::HasFatalFailure(); ++i) {
        switch (pick(9)) {
          case 0:
          case 1:
          case 2:
          case 3:
            write();
            break;
          case 4:
          case 5:
            read();
            break;
          case 6:
            flush();
            break;
          case 7:
            flush();
            ++counts.reopenings;
            open(true);
            break;
          default:
            break;
        }
      }
      if (!::testing::Test::HasFatalFailure()) checkpoint();
    }
    counts.injected = injectedSoFar();
  }

  zel::CURI root;
  zel::CURI head;
  zel::P<FS> faulty;
  int oneIn;
  std::mt19937_64 random;
  zel::String password;
  std::unique_ptr<CFleckDisk> disk;
  std::size_t errorsSeen = 0;
  std::map<int, std::string> latest;
  std::map<int, std::set<std::string>> candidates;
  std::set<int> touched;    // written since the last checkpoint
  std::set<int> failed;     // a store failure was reported since the last checkpoint
  std::set<int> uncertain;  // a call that touched it threw
  std::map<zel::CURI, std::string> snapshots;
  bool hasChild = false;
  Counts counts;
};

class FaultSoakTest : public ::testing::TestWithParam<int> {};

TEST_P(FaultSoakTest, EveryFailureIsReportedAndNothingStoredIsLost) {
  const int oneIn = GetParam();
  const unsigned seed = seedFromEnvironment(static_cast<unsigned>(1000 + oneIn));
  SCOPED_TRACE("seed " + std::to_string(seed) + " (set FLECK_TEST_SEED to repeat), faults 1 in " +
               std::to_string(oneIn));
  TempFolder root;
  zel::LogSink previous =
      zel::setLogSink([](const zel::String&, const std::exception&, const zel::String&) {});
  Counts counts;
  const auto started = std::chrono::steady_clock::now();
  {
    FaultSoak soak(root.path(), oneIn, seed);
    soak.run(soakSeconds());
    counts = soak.counts;
  }
  zel::setLogSink(previous);
  const double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::cout << "[ faults ] 1 in " << oneIn << ", seed " << seed << ", " << took
            << " s: " << counts.injected << " faults injected; " << counts.reportedInList
            << " store failures in error lists, " << counts.exceptions << " exceptions; "
            << counts.checkpoints << " checkpoints, " << counts.writes << " writes, "
            << counts.reads << " reads, " << counts.reopenings << " reopenings, "
            << counts.snapshots << " snapshots\n";
  RecordProperty("faults_injected", counts.injected);
  RecordProperty("failures_reported", counts.reportedInList + counts.exceptions);
  EXPECT_GT(counts.injected, 0);
  EXPECT_GT(counts.reportedInList + counts.exceptions, 0);
}

INSTANTIATE_TEST_SUITE_P(Rates, FaultSoakTest, ::testing::Values(50, 10, 3),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "OneIn" + std::to_string(info.param);
                         });

}  // namespace
}  // namespace fleck
