// Random writes, reads, flushes, reopenings and snapshots while the file system fails at
// random, at several rates. At every checkpoint, with the faults off: a fleck for which
// no failure was reported holds its newest content, every other one a content it may
// hold (FleckModel), and every snapshot what it held when taken. FLECK_SOAK_SECONDS
// sets the seconds per rate (default 1).

#include <chrono>
#include <iostream>
#include <map>
#include <memory>

#include "FleckModel.h"
#include "support/CFaultInjectingFileSystem.h"
#include "support/TempFolder.h"
#include "zel/CLocalFileSystem.h"
#include "zel/Log.h"

namespace fleck::test {
namespace {

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
  for (int cycle = 0; (cycle < 8 || std::chrono::steady_clock::now() < end) && !HasFailure();
       ++cycle) {
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

}  // namespace
}  // namespace fleck::test
