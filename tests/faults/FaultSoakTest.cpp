// Random writes, reads, flushes, reopenings and snapshots while the file system fails
// at random (I/O errors, missing folders, operations that cannot even start), at
// several rates. At every checkpoint, with the faults off: a fleck whose stores reported
// no failure holds its newest content, every other one a content it had since the last
// checkpoint (or zeros, see FleckModel::mayHold), and every snapshot what it held when
// it was taken. FLECK_SOAK_SECONDS sets the seconds per rate (default 1).

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <random>

#include "FleckModel.h"
#include "fs/FsTestSupport.h"
#include "support/CFaultInjectingFileSystem.h"
#include "support/TempFolder.h"
#include "zel/CLocalFileSystem.h"
#include "zel/Log.h"

namespace fleck::test {
namespace {

using FS = CFaultInjectingFileSystem;
constexpr int kFleckSize = 4096;
constexpr std::int64_t kDiskSize = 39 * kFleckSize + 321;  // the last fleck is short

class FaultSoak {
 public:
  FaultSoak(const std::string& folder, int oneIn, unsigned seed)
      : root(zel::CURI::fromLocalPath(folder)),
        faulty(zel::make<FS>(zel::make<zel::CLocalFileSystem>(), seed)),
        oneIn(oneIn),
        random(seed),
        password(seed % 2 == 0 ? "" : "soak") {
    CFleckDisk::create(faulty, head, kDiskSize, 1, password, "lz4", kFleckSize);
    open(false);
  }
  ~FaultSoak() {
    faulty->clearRules();
    disk.reset();
  }

  std::uint64_t pick(std::uint64_t limit) { return random() % (limit + 1); }

  void faultsOn() {
    // Stores that fail, look like a missing folder (the storer makes the folders and
    // tries again) or cannot start; failing moves, deletions, folders, opens and looks.
    for (int problem : {zel::CFileSystemError::Other, zel::CFileSystemError::NotFound}) {
      for (FS::Op op : {FS::StoreStreamAsync, FS::CreateFolderAsync})
        faulty->addRule({.op = op, .problem = problem, .oneIn = oneIn});
    }
    for (FS::Op op : {FS::StoreStreamAsync, FS::MoveAsync})
      faulty->addRule({.op = op, .throwAtCall = true, .oneIn = 3 * oneIn});
    for (FS::Op op : {FS::DeleteAsync, FS::MoveAsync, FS::OpenStream, FS::GetFileInfo, FS::Exists,
                      FS::FileExists, FS::FolderExists, FS::ListFolder, FS::CreateFolder}) {
      faulty->addRule({.op = op, .oneIn = oneIn});
    }
  }

  // Opens the head; under faults an opening may fail (with an exception): it is tried
  // again, at last without faults.
  void open(bool underFaults) {
    disk.reset();
    errorsSeen = 0;
    for (int attempt = 0; attempt < 10 && underFaults; ++attempt) {
      try {
        disk = std::make_unique<CFleckDisk>(faulty, head, password, zel::IIOStream::AccessReadWrite,
                                            3);
        return;
      } catch (const zel::CError&) {
        ++reported;
      }
    }
    faulty->clearRules();
    disk = std::make_unique<CFleckDisk>(faulty, head, password, zel::IIOStream::AccessReadWrite, 3);
    if (underFaults) faultsOn();
  }

  void write() {
    const auto position = static_cast<std::int64_t>(pick(kDiskSize - 1));
    const bool whole = pick(3) == 0;
    const std::int64_t at = whole ? position - position % kFleckSize : position;
    const std::int64_t n =
        whole ? model.length(static_cast<int>(at / kFleckSize))
              : 1 + static_cast<std::int64_t>(
                        pick(std::min<std::int64_t>(2 * kFleckSize, kDiskSize - at) - 1));
    std::string bytes(static_cast<std::size_t>(n), '\0');
    const auto kind = pick(2);
    for (auto& b : bytes)
      b = kind == 0 ? '\0' : kind == 1 ? 'r' : static_cast<char>(random());
    bool threw = false;
    try {
      disk->seek(at);
      disk->write(bytes.data(), static_cast<int>(n));
    } catch (const zel::CError&) {
      ++reported;
      threw = true;
    }
    for (int f : model.write(at, bytes, true)) {
      touched.insert(f);
      if (threw) uncertain.insert(f);
    }
  }

  void read() {
    const int f = static_cast<int>(pick(model.count() - 1));
    std::string got(static_cast<std::size_t>(model.length(f)), '\0');
    try {
      disk->seek(std::int64_t{f} * kFleckSize);
      disk->read(got.data(), static_cast<int>(got.size()));
    } catch (const zel::CError&) {
      ++reported;
      return;
    }
    ASSERT_TRUE(model.mayHold(f, got, hasChild)) << "fleck " << f << " read under faults";
  }

  void flush() {
    try {
      disk->flushChanges();
    } catch (const zel::CError&) {
      ++reported;
      uncertain.insert(touched.begin(), touched.end());
    }
    // Failed background stores are reported in the list, by fleck.
    const auto& list = disk->getBackgroundErrorList();
    std::size_t index = 0;
    for (const auto& error : list) {
      if (index++ < errorsSeen) continue;
      uncertain.insert(error.fleckIndex);
      ++reported;
    }
    errorsSeen = list.size();
  }

  // Flushes under faults, then checks everything with the faults off.
  void checkpoint() {
    flush();
    open(false);
    const std::string whole = readWhole(*disk, kDiskSize);
    for (int f = 0; f < model.count(); ++f) {
      const std::string got = model.fleckOf(whole, f);
      if (touched.count(f) != 0 && uncertain.count(f) == 0) {
        ASSERT_TRUE(got == model.newestOf(f))
            << "fleck " << f << " lost a write that reported no failure";
      }
      ASSERT_TRUE(model.mayHold(f, got, hasChild)) << "fleck " << f << " holds what it never had";
    }
    model.settle(whole);
    for (const auto& [folder, expected] : snapshots) {
      CFleckDisk snapshot(faulty, folder, password, zel::IIOStream::AccessRead, 1);
      ASSERT_TRUE(readWhole(snapshot, kDiskSize) == expected)
          << folder.toString(true) << " changed";
    }
    touched.clear();
    uncertain.clear();
    // Now and then a snapshot of the head (faults off: the test's own step).
    if (snapshots.size() < 3 && pick(5) == 0) {
      disk.reset();
      const zel::CURI child = root << zel::String::fromInt64(std::ssize(snapshots));
      CFleckDisk::createChild(faulty, child, head, CFleckDisk::ChildLinked);
      snapshots[child] = whole;
      hasChild = true;
      open(false);
    }
    faultsOn();
  }

  void run(double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    faultsOn();
    // At least a few checkpoints, however slow the build.
    for (int cycle = 0; (cycle < 8 || std::chrono::steady_clock::now() < end) &&
                        !::testing::Test::HasFatalFailure();
         ++cycle) {
      for (int i = static_cast<int>(pick(12)); i >= 0 && !::testing::Test::HasFatalFailure(); --i) {
        const auto step = pick(8);
        if (step < 4) write();
        if (step == 4 || step == 5) read();
        if (step >= 6) flush();
        if (step == 7) open(true);
      }
      if (!::testing::Test::HasFatalFailure()) checkpoint();
    }
  }

  const zel::CURI root;
  const zel::CURI head = root << "head";
  const zel::P<FS> faulty;
  const int oneIn;
  std::mt19937_64 random;
  const zel::String password;
  std::unique_ptr<CFleckDisk> disk;
  std::size_t errorsSeen = 0;
  FleckModel model{kFleckSize, kDiskSize};
  std::set<int> touched;    // written since the last checkpoint
  std::set<int> uncertain;  // a failure was reported for it, or a call that touched it threw
  std::map<zel::CURI, std::string> snapshots;
  bool hasChild = false;
  int reported = 0;
};

class FaultSoakTest : public ::testing::TestWithParam<int> {};

TEST_P(FaultSoakTest, EveryFailureIsReportedAndNothingStoredIsLost) {
  const int oneIn = GetParam();
  const unsigned seed = seedFromEnvironment(static_cast<unsigned>(1000 + oneIn));
  SCOPED_TRACE("seed " + std::to_string(seed) + " (FLECK_TEST_SEED repeats it), faults 1 in " +
               std::to_string(oneIn));
  const char* seconds = std::getenv("FLECK_SOAK_SECONDS");
  TempFolder folder;
  // Failed stores and the disk's end log what they could not do.
  const zel::LogSink previous =
      zel::setLogSink([](const zel::String&, const std::exception&, const zel::String&) {});
  int injected = 0;
  int reported = 0;
  {
    FaultSoak soak(folder.path(), oneIn, seed);
    soak.run(seconds != nullptr ? std::atof(seconds) : 1.0);
    for (int op = 0; op < FS::kOpCount; ++op)
      injected += soak.faulty->getInjectedCount(static_cast<FS::Op>(op));
    reported = soak.reported;
  }
  zel::setLogSink(previous);
  std::cout << "[ faults ] 1 in " << oneIn << ", seed " << seed << ": " << injected << " injected, "
            << reported << " reported\n";
  EXPECT_GT(injected, 0);
  EXPECT_GT(reported, 0);
}

INSTANTIATE_TEST_SUITE_P(Rates, FaultSoakTest, ::testing::Values(100, 30, 10, 4, 2),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "OneIn" + std::to_string(info.param);
                         });

}  // namespace
}  // namespace fleck::test
