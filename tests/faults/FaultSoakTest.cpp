// Random writes, reads, flushes, reopenings and snapshots while the file system fails at
// random, at several rates. At every checkpoint, with the faults off: a fleck for which
// no failure was reported holds its newest content, every other one a content it may
// hold (FleckModel), and every snapshot what it held when taken. FLECK_SOAK_SECONDS
// sets the seconds per rate (default 1).

#include <algorithm>
#include <chrono>
#include <iostream>
#include <map>
#include <memory>
#include <set>

#include <random>

#include "fleck/CFleckDisk.h"
#include "fleck/ops/CSnapshotRemover.h"
#include "fs/FsTestSupport.h"
#include "support/CFaultInjectingFileSystem.h"
#include "support/TempFolder.h"
#include "zel/CLocalFileSystem.h"
#include "zel/CMemoryFileSystem.h"
#include "zel/Log.h"

namespace fleck::test {
namespace {

// What each fleck of a disk may hold when writes may each have reached it or not: any
// combination of the writes since the last checkpoint, applied to its content then.
class FleckModel {
 public:
  FleckModel(int fleckSize, std::int64_t size) : fleckSize(fleckSize), size(size) {
    settle(std::string(static_cast<std::size_t>(size), '\0'));
  }
  int count() const { return static_cast<int>((size + fleckSize - 1) / fleckSize); }
  std::int64_t length(int f) const {
    return std::min<std::int64_t>(fleckSize, size - f * fleckSize);
  }
  std::string fleckOf(const std::string& whole, int f) const {
    return whole.substr(static_cast<std::size_t>(f * fleckSize),
                        static_cast<std::size_t>(length(f)));
  }
  // Records a write; the flecks it touched.
  std::vector<int> write(std::int64_t at, const std::string& bytes) {
    std::vector<int> touched;
    for (int f = static_cast<int>(at / fleckSize); f * fleckSize < at + std::ssize(bytes); ++f) {
      const std::int64_t start = std::int64_t{f} * fleckSize, from = std::max(at, start);
      const auto n =
          static_cast<std::size_t>(std::min(at + std::ssize(bytes), start + length(f)) - from);
      auto apply = [&](std::string content) {
        return content.replace(static_cast<std::size_t>(from - start), n, bytes,
                               static_cast<std::size_t>(from - at), n);
      };
      for (const std::string& c : std::set<std::string>(candidates[f]))
        candidates[f].insert(apply(c));
      newest[f] = apply(newest[f]);
      touched.push_back(f);
    }
    return touched;
  }
  // True for a possible content, or for zeros when `zerosToo`: on a disk with a child,
  // a fleck's old file goes into the child before the new one is stored, and a failure
  // in between leaves the fleck reading zeros.
  bool mayHold(int f, const std::string& got, bool zerosToo) const {
    return candidates[f].count(got) != 0 ||
           (zerosToo && got.find_first_not_of('\0') == std::string::npos);
  }
  // The disk as read at a checkpoint is the only possible content from now on.
  void settle(const std::string& whole) {
    newest.clear();
    candidates.clear();
    for (int f = 0; f < count(); ++f) {
      newest.push_back(fleckOf(whole, f));
      candidates.push_back({newest.back()});
    }
  }
  std::vector<std::string> newest;  // with every write applied

 private:
  const std::int64_t fleckSize;
  const std::int64_t size;
  std::vector<std::set<std::string>> candidates;
};

inline std::string readWhole(CFleckDisk& disk, std::int64_t size) {
  std::string bytes(static_cast<std::size_t>(size), '\0');
  disk.seek(0);
  disk.read(bytes.data(), static_cast<int>(size));
  return bytes;
}

using FS = CFaultInjectingFileSystem;
constexpr int kFleckSize = 4096;
constexpr std::int64_t kDiskSize = 39 * kFleckSize + 321;  // the last fleck is short

class FaultSoakTest : public ::testing::TestWithParam<int> {
 protected:
  ~FaultSoakTest() override {
    faulty->clearRules();
    disk.reset();
    zel::setLogSink(previous);
  }
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
  // Under faults an opening may fail: it is tried again, at last without faults.
  void open(bool underFaults) {
    disk.reset();
    errorsSeen = 0;
    for (int attempt = 0; attempt < 10 && underFaults && !disk; ++attempt) {
      reported += problemOfCall([&] {
                    disk = std::make_unique<CFleckDisk>(faulty, head, password,
                                                        zel::IIOStream::AccessReadWrite, 3);
                  }) != kSuccess;
    }
    if (disk) return;
    faulty->clearRules();
    disk = std::make_unique<CFleckDisk>(faulty, head, password, zel::IIOStream::AccessReadWrite, 3);
    if (underFaults) faultsOn();
  }
  // Failed calls and failed background stores (in the error list) make flecks uncertain.
  void call(const std::function<void()>& what, const std::vector<int>& flecks) {
    if (problemOfCall(what) != kSuccess) {
      ++reported;
      uncertain.insert(flecks.begin(), flecks.end());
    }
    std::size_t index = 0;
    for (const auto& error : disk->getBackgroundErrorList()) {
      if (index++ < errorsSeen) continue;
      uncertain.insert(error.fleckIndex);
      ++reported;
    }
    errorsSeen = index;
  }

  const int oneIn = GetParam();
  const unsigned seed = seedFromEnvironment(static_cast<unsigned>(1000 + oneIn));
  std::mt19937_64 random{seed};
  TempFolder folder;
  const zel::CURI head = folder.uri() << "head";
  const zel::P<FS> faulty = zel::make<FS>(zel::make<zel::CLocalFileSystem>(), seed);
  const zel::String password = seed % 2 == 0 ? "" : "soak";
  std::unique_ptr<CFleckDisk> disk;
  std::size_t errorsSeen = 0;
  int reported = 0;
  std::set<int> uncertain;
  const zel::LogSink previous =  // failed stores log what they could not do
      zel::setLogSink([](const zel::String&, const std::exception&, const zel::String&) {});
};

TEST_P(FaultSoakTest, EveryFailureIsReportedAndNothingStoredIsLost) {
  SCOPED_TRACE("seed " + std::to_string(seed) + " (FLECK_TEST_SEED repeats it)");
  const char* seconds = std::getenv("FLECK_SOAK_SECONDS");
  const auto end = std::chrono::steady_clock::now() +
                   std::chrono::duration<double>(seconds != nullptr ? std::atof(seconds) : 1.0);
  CFleckDisk::create(faulty, head, kDiskSize, 1, password, "lz4", kFleckSize);
  FleckModel model(kFleckSize, kDiskSize);
  std::map<zel::CURI, std::string> snapshots;
  std::set<int> touched;
  open(false);
  faultsOn();
  // On a loaded machine a second may hold too few steps for a rare fault to surface: it
  // goes on until one has been reported (or for at most half a minute more).
  const auto more = [&] {
    const auto now = std::chrono::steady_clock::now();
    return now < end || (reported == 0 && now < end + std::chrono::seconds(30));
  };
  for (int cycle = 0; (cycle < 8 || more()) && !HasFailure(); ++cycle) {
    for (auto step = random() % 13; step > 0 && !HasFailure(); --step) {
      const auto what = random() % 9;
      const auto f = static_cast<int>(random() % static_cast<unsigned>(model.count()));
      const std::int64_t at =
          what < 2 ? std::int64_t{f} * kFleckSize : static_cast<std::int64_t>(random() % kDiskSize);
      std::string bytes(
          static_cast<std::size_t>(std::min<std::int64_t>(
              what < 2 ? model.length(f) : 1 + random() % (2 * kFleckSize), kDiskSize - at)),
          "\0r"[random() % 2]);
      if (random() % 3 == 0)
        std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random()); });
      if (what < 4) {  // a write, of a whole fleck or from anywhere
        const std::vector<int> flecks = model.write(at, bytes);
        touched.insert(flecks.begin(), flecks.end());
        call(
            [&] {
              disk->seek(at);
              disk->write(bytes.data(), static_cast<int>(bytes.size()));
            },
            flecks);
      } else if (what < 6) {  // what a read under faults gives is a possible content
        bytes.resize(static_cast<std::size_t>(model.length(f)));
        if (problemOfCall([&] {
              disk->seek(f * kFleckSize);
              disk->read(bytes.data(), static_cast<int>(bytes.size()));
            }) == kSuccess) {
          ASSERT_TRUE(model.mayHold(f, bytes, !snapshots.empty())) << "fleck " << f << " read";
        }
      } else {
        call([&] { disk->flushChanges(); }, std::vector<int>(touched.begin(), touched.end()));
        if (what == 8) open(true);
      }
    }
    // A checkpoint: flush under faults, then check everything with the faults off.
    call([&] { disk->flushChanges(); }, std::vector<int>(touched.begin(), touched.end()));
    open(false);
    const std::string whole = readWhole(*disk, kDiskSize);
    for (int f = 0; f < model.count(); ++f) {
      const std::string got = model.fleckOf(whole, f);
      ASSERT_TRUE(touched.count(f) == 0 || uncertain.count(f) != 0 || got == model.newest[f])
          << "fleck " << f << " lost a write for which no failure was reported";
      ASSERT_TRUE(model.mayHold(f, got, !snapshots.empty())) << "fleck " << f << " never held that";
    }
    model.settle(whole);
    touched.clear();
    uncertain.clear();
    for (const auto& [location, expected] : snapshots) {
      CFleckDisk snapshot(faulty, location, password, zel::IIOStream::AccessRead, 1);
      ASSERT_TRUE(readWhole(snapshot, kDiskSize) == expected) << location.toString(true);
    }
    if (snapshots.size() < 3 && random() % 6 == 0) {  // the test's own step: no faults
      disk.reset();
      const zel::CURI child = folder.uri() << zel::String::fromInt64(std::ssize(snapshots));
      CFleckDisk::createChild(faulty, child, head, CFleckDisk::ChildLinked);
      snapshots[child] = whole;
      open(false);
    }
    faultsOn();
  }
  int injected = 0;
  for (int op = 0; op < FS::kOpCount; ++op)
    injected += faulty->getInjectedCount(static_cast<FS::Op>(op));
  std::cout << "[ faults ] 1 in " << oneIn << ": " << injected << " injected, " << reported
            << " reported\n";
  EXPECT_GT(injected, 0);
  EXPECT_GT(reported, 0);
}

INSTANTIATE_TEST_SUITE_P(Rates, FaultSoakTest, ::testing::Values(100, 30, 10, 4, 2),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "OneIn" + std::to_string(info.param);
                         });

// Power failures in the middle of a disk's writes, flushes and snapshots, on an in-memory
// file system in durable mode that drops what was not made durable (and, by a draw,
// keeps part of it, as a kernel may have written it back). The writer syncs the disks'
// folder after each flush. Afterwards the disk opens for writing, every fleck reads a
// content it may hold since the last sync, and every synced snapshot reads as taken.
constexpr std::int64_t kPowerDiskSize = 12 * kFleckSize;

void runRound(std::uint64_t seed, bool takeSnapshots) {
  std::mt19937_64 random(seed);
  auto fs = zel::make<zel::CMemoryFileSystem>(
      zel::CMemoryFileSystem::Options{.completionThreads = 1, .durable = true});
  const zel::CURI disks(zel::String("/disks"));
  const zel::CURI head = disks << "head";
  CFleckDisk::create(fs, head, kPowerDiskSize, 1, "", "lz4", kFleckSize);
  fs->sync(disks);
  FleckModel model(kFleckSize, kPowerDiskSize);
  std::string latest(static_cast<std::size_t>(kPowerDiskSize), '\0');
  std::map<zel::CURI, std::string> snapshots;  // synced ones, as they were taken
  {
    // One background store at a time: the order of the changes, and so the point of
    // the failure, follows from the seed alone.
    CFleckDisk disk(fs, head, "", zel::IIOStream::AccessReadWrite, 1);
    fs->powerLossAfter(static_cast<std::int64_t>(random() % 250), random() | 1);
    problemOfCall([&] {  // the power fails under some call; all after it fail too
      for (int step = 0; step < 40 && !fs->hasPowerFailed(); ++step) {
        const std::int64_t at = static_cast<std::int64_t>(random() % kPowerDiskSize);
        const bool whole = random() % 2 == 0;
        const std::string bytes(
            static_cast<std::size_t>(whole ? kFleckSize
                                           : 1 + random() % (kFleckSize - at % kFleckSize)),
            random() % 3 == 0 ? '\0' : static_cast<char>('a' + step % 26));
        const std::int64_t start = whole ? at - at % kFleckSize : at;
        disk.seek(start);
        disk.write(bytes.data(), static_cast<int>(bytes.size()));
        model.write(start, bytes);
        latest.replace(static_cast<std::size_t>(start), bytes.size(), bytes);
        if (random() % 5 != 0) continue;
        // A flush point: flush, perhaps take a snapshot, and sync.
        const zel::CURI child = disks << zel::String::fromInt64(step);
        const bool snapshot = random() % 3 == 0 && takeSnapshots;
        disk.flushChanges();
        if (snapshot) disk.createSnapshot(child);
        fs->sync(disks);
        if (disk.haveBackgroundErrors()) break;
        if (snapshot) snapshots[child] = latest;
        model.settle(latest);
      }
    });
  }  // the disk's end stores what it holds; with the power off that fails (logged)
  if (!fs->hasPowerFailed()) fs->powerLoss(random() | 1);
  fs->powerOn();

  // Opening for writing also checks the links between the head and its children.
  CFleckDisk disk(fs, head, "", zel::IIOStream::AccessReadWrite, 1);
  const std::string whole = readWhole(disk, kPowerDiskSize);
  for (int f = 0; f < model.count(); ++f) {
    EXPECT_TRUE(model.mayHold(f, model.fleckOf(whole, f), takeSnapshots))
        << "fleck " << f << " reads neither its synced content nor one it had since";
  }
  for (const auto& [location, expected] : snapshots) {
    CFleckDisk snapshot(fs, location, "", zel::IIOStream::AccessRead, 1);
    EXPECT_TRUE(readWhole(snapshot, kPowerDiskSize) == expected) << location.toString(true);
  }
}

void runRounds(bool takeSnapshots) {
  const unsigned seed = seedFromEnvironment(20240611);
  SCOPED_TRACE("seed " + std::to_string(seed) + " (FLECK_TEST_SEED repeats it)");
  const zel::LogSink before =
      zel::setLogSink([](const zel::String&, const std::exception&, const zel::String&) {});
  for (int round = 0; round < 60 && !::testing::Test::HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    try {
      runRound(std::uint64_t{seed} * 1000 + static_cast<unsigned>(round), takeSnapshots);
    } catch (const std::exception& e) {
      ADD_FAILURE() << "after the power failure: " << e.what();
    }
  }
  zel::setLogSink(before);
}

TEST(PowerLossTest, FlecksReadSyncedOrNewerContentAndTheDiskOpens) {
  runRounds(false);
}

// Disabled: it fails. A power failure inside createSnapshot can leave the disk unable
// to open for writing: link files are rewritten in place (CreateOrTruncate) without
// being made durable, so a new link can be torn with no second copy to fall back on,
// and relinking can leave an older child's parent link changed while the disk's child
// link still leads to that child ("does not lead back"). Run it with
// --gtest_also_run_disabled_tests.
TEST(PowerLossTest, DISABLED_SnapshotsSurviveAndTheDiskOpens) {
  runRounds(true);
}

// A snapshot's removal cut off by a power failure after each of its changes in turn: the
// other disks read as before, and removing it again finishes. Durable mode, seed 0:
// the failure keeps exactly what was made durable (metadata rewritten in place may tear
// otherwise, see above).
TEST(PowerLossTest, ARemovalCutOffAnywhereKeepsTheOtherDisksAndFinishesWhenRunAgain) {
  constexpr int kFleck = 4096, kFlecks = 12;
  const zel::CURI root("/chain");
  const std::vector<zel::CURI> disks{root << "live", root << "s3", root << "s2", root << "s1"};
  const auto readAll = [&](zel::IFileSystem* fs, const zel::CURI& disk) {
    CFleckDisk reader(fs, disk, "", zel::IIOStream::AccessRead, 1);
    return readWhole(reader, kFleck * kFlecks);
  };
  for (int position = 1; position <= 3; ++position) {  // newest, middle, oldest
    SCOPED_TRACE("removing " + disks[position].toString(true).toUTF8());
    bool finished = false;
    for (std::int64_t cut = 0; !finished && !::testing::Test::HasFailure(); ++cut) {
      SCOPED_TRACE("power fails after " + std::to_string(cut) + " changes");
      auto fs = zel::make<zel::CMemoryFileSystem>(
          zel::CMemoryFileSystem::Options{.completionThreads = 1, .durable = true});
      fs->createFolder(root, 0x1ff);
      CFleckDisk::create(fs.get(), disks[0], kFleck * kFlecks, -1, "", "lz4", kFleck);
      {
        CFleckDisk live(fs.get(), disks[0], "", zel::IIOStream::AccessReadWrite, 1);
        std::mt19937 random(7);
        for (int snapshot = 3; snapshot >= 0; --snapshot) {
          for (int f = 0; f < kFlecks; ++f) {
            if (random() % 3 == 0) continue;
            live.seek(f * kFleck);
            live.write(
                std::string(kFleck, random() % 4 == 0 ? '\0' : char('a' + random() % 26)).data(),
                kFleck);
          }
          if (snapshot > 0) live.createSnapshot(disks[snapshot]);
        }
      }
      fs->sync(root);
      std::map<zel::CURI, std::string> before;
      for (const zel::CURI& disk : disks)
        before[disk] = readAll(fs.get(), disk);

      ops::CSnapshotRemover remover(fs);
      fs->powerLossAfter(cut, 0);
      try {
        remover.remove(disks[position], nullptr);
      } catch (const std::exception&) {
        EXPECT_TRUE(fs->hasPowerFailed());
      }
      finished = !fs->hasPowerFailed();
      fs->powerOn();
      const auto othersReadAsBefore = [&] {
        for (std::size_t d = 1; d < disks.size(); ++d) {
          const zel::CURI& disk = disks[(static_cast<std::size_t>(position) + d) % disks.size()];
          EXPECT_TRUE(readAll(fs.get(), disk) == before[disk]) << disk.toString(true);
        }
      };
      othersReadAsBefore();
      if (fs->folderExists(disks[position])) remover.remove(disks[position], nullptr);
      EXPECT_FALSE(fs->exists(disks[position]));
      othersReadAsBefore();
    }
  }
}

}  // namespace
}  // namespace fleck::test
