#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "FleckTestSupport.h"
#include "fleck/CFleckStorer.h"
#include "support/CFaultInjectingFileSystem.h"
#include "support/TempFolder.h"
#include "zel/CFileSystemError.h"
#include "zel/CLocalFileSystem.h"

// The storer over the local file system with faults injected. Each case checks what the
// folders hold at the end (no stray or torn files), the error, and that the listener
// hears of the end once.

namespace fleck::test {
namespace {

namespace fsys = std::filesystem;
using Buffer = zel::TBuffer<unsigned char>;
using FS = CFaultInjectingFileSystem;
using Rule = FS::Rule;
using Files = std::map<std::string, std::string>;
using E = zel::CFileSystemError;
using Lines = std::vector<std::string>;

// Long enough that only a storer that never ends runs into it.
constexpr int kHangMs = 30000;
constexpr int kNone = -1;
const std::string kRelative = "flecks/d01/c02/b03/a04/05.fleck";
const std::string kDisk = "disk/" + kRelative;
const std::string kChild = "child/" + kRelative;

int problemOf(const zel::CError* error) {
  return error == nullptr ? kNone : E::getProblem(error->getProps());
}

Rule fail(FS::Op op, int problem, const char* where = "", int skip = 0, int times = -1) {
  return Rule{.op = op, .pathContains = where, .problem = problem, .skip = skip, .times = times};
}
Rule hold(FS::Op op, int times = -1) {
  return Rule{.op = op, .hold = true, .times = times};
}

// Records what it is told and, when it knows its storer, what the storer shows then.
class RecordingListener final : public zel::CBase, public virtual zel::IDoneListener {
 public:
  explicit RecordingListener(bool throws = false) : throws(throws) {}
  void onDone(const zel::CError* error) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++calls;
      reported = problemOf(error);
      if (storer != nullptr) {
        finishedAtCall = storer->waitFinished(0);
        progressAtCall = storer->getProgress();
        errorAtCall = problemOf(storer->getError());
      }
    }
    told->set();
    if (throws) throw zel::CError("The listener failed on purpose.");
  }

  const bool throws;
  const zel::P<zel::CSignal> told = zel::make<zel::CSignal>();
  std::mutex mutex;  // guards everything below
  CFleckStorer* storer = nullptr;
  int calls = 0;
  int reported = -2;
  bool finishedAtCall = false;
  double progressAtCall = -1;
  int errorAtCall = -2;
};

enum Setup : unsigned { kDiskFolders = 1, kChildFolders = 2, kNoDiskRoot = 4, kNoChildRoot = 8 };
constexpr unsigned kBothFolders = kDiskFolders | kChildFolders;

class StorerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fsys::create_directory(path("disk"));
    fsys::create_directory(path("child"));
  }

  std::string path(const std::string& relative) const { return root.path() + "/" + relative; }
  void put(const std::string& relative, const std::string& bytes) {
    fsys::create_directories(fsys::path(path(relative)).parent_path());
    writeFile(path(relative), bytes);
  }
  // Every file below the root: temporary files left behind show up here too.
  Files files() const {
    Files all;
    for (const auto& entry : fsys::recursive_directory_iterator(root.path())) {
      if (entry.is_regular_file())
        all[fsys::relative(entry.path(), root.path()).string()] = readFile(entry.path().string());
    }
    return all;
  }
  void prepare(unsigned setup) {
    if (setup & kDiskFolders) fsys::create_directories(fsys::path(path(kDisk)).parent_path());
    if (setup & kChildFolders) fsys::create_directories(fsys::path(path(kChild)).parent_path());
    if (setup & kNoDiskRoot) fsys::remove(path("disk"));
    if (setup & kNoChildRoot) fsys::remove(path("child"));
  }

  zel::P<CFleckStorer> start(const Buffer* data, bool withChild,
                             zel::IDoneListener* listener = nullptr) {
    const zel::CURI relative(kRelative.c_str());
    return CFleckStorer::start(fs, root.uri() << "disk", relative,
                               withChild ? root.uri() << "child" : zel::CURI(),
                               withChild ? relative : zel::CURI(), data, zero.get(), listener);
  }
  // Runs a storer to its end and checks what every ended storer promises.
  zel::P<CFleckStorer> run(const Buffer* data, bool withChild) {
    auto listener = zel::make<RecordingListener>();
    zel::P<CFleckStorer> storer = start(data, withChild, listener);
    EXPECT_TRUE(storer->waitFinished(kHangMs));
    EXPECT_TRUE(listener->told->wait(kHangMs));
    EXPECT_EQ(storer->getProgress(), 1.0);
    std::lock_guard<std::mutex> lock(listener->mutex);
    EXPECT_EQ(listener->calls, 1);
    EXPECT_EQ(listener->reported, problemOf(storer->getError()));
    return storer;
  }
  TempFolder root;
  zel::P<FS> fs = zel::make<FS>(zel::make<zel::CLocalFileSystem>());
  zel::P<Buffer> fresh = record("new");
  zel::P<Buffer> zero = record("zero");

  static zel::P<Buffer> record(const std::string& text) {
    return zel::make<Buffer>(reinterpret_cast<const unsigned char*>(text.data()), text.size());
  }
};

struct StoreCase {
  const char* name;
  bool withChild;
  bool nullRecord;
  const char* diskBefore;  // the fleck's file in the disk before, null: none
  const char* childBefore;
  unsigned setup;
  std::vector<Rule> rules;
  int problem;  // the storer's error, kNone: success
  const char* diskAfter = nullptr;
  const char* childAfter = nullptr;
  const char* absentFolder = nullptr;  // must not exist afterwards
  const char* logged = nullptr;        // the one message logged, null: none
};

void PrintTo(const StoreCase& c, std::ostream* os) {
  *os << c.name;
}

class StorerCaseTest : public StorerTest, public ::testing::WithParamInterface<StoreCase> {};

TEST_P(StorerCaseTest, LeavesTheOldOrTheNewContentsAndReportsTheEndOnce) {
  const StoreCase& c = GetParam();
  prepare(c.setup);
  if (c.diskBefore != nullptr) put(kDisk, c.diskBefore);
  if (c.childBefore != nullptr) put(kChild, c.childBefore);
  for (const Rule& rule : c.rules)
    fs->addRule(rule);
  LogCapture logged;

  zel::P<CFleckStorer> storer = run(c.nullRecord ? nullptr : fresh.get(), c.withChild);
  EXPECT_EQ(problemOf(storer->getError()), c.problem)
      << (storer->getError() ? storer->getError()->what() : "");
  Files expected;
  if (c.diskAfter != nullptr) expected[kDisk] = c.diskAfter;
  if (c.childAfter != nullptr) expected[kChild] = c.childAfter;
  EXPECT_EQ(files(), expected);
  EXPECT_FALSE(c.absentFolder != nullptr && fsys::exists(path(c.absentFolder)));
  EXPECT_EQ(logged.getMessages(), c.logged ? std::vector<std::string>{c.logged} : Lines{});
}

const int N = E::NotFound, O = E::Other, A = E::AlreadyExists, U = E::Unsupported;
// The rules a case adds.
template <class... Rules>
std::vector<Rule> R(Rules... rules) {
  return {rules...};
}

const FS::Op kStore = FS::StoreStreamAsync, kMove = FS::MoveAsync, kMkdir = FS::CreateFolderAsync;

// Rows: name, child?, null record?, disk's and child's file before, folders, rules;
// error, disk's and child's file after, a folder that must not exist, the message logged.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Paths, StorerCaseTest, ::testing::Values(
    // Without a child. Only NotFound or Other from a store send the storer to make folders.
    StoreCase{"NewFileGetsItsFolders", false, false, nullptr, nullptr, 0, R(), kNone, "new"},
    StoreCase{"ExistingFileIsReplaced", false, false, "old", nullptr, 0, R(), kNone, "new"},
    StoreCase{"NullRecordRemovesTheFile", false, true, "old", nullptr, 0, R(), kNone, nullptr},
    StoreCase{"StoreAlreadyExistsEnds", false, false, nullptr, nullptr, 0, R(fail(kStore, A)),
              A, nullptr, nullptr, "disk/flecks"},
    StoreCase{"StoreUnsupportedEnds", false, false, "old", nullptr, kDiskFolders,
              R(fail(kStore, U)), U, "old"},
    StoreCase{"StoreFailingOnceIsRetried", false, false, nullptr, nullptr, kDiskFolders,
              R(fail(kStore, O, "", 0, 1)), kNone, "new"},
    StoreCase{"StepThatCannotStartEnds", false, false, nullptr, nullptr, 0,
              R(Rule{.op = kMkdir, .problem = O, .throwAtCall = true}), O},
    StoreCase{"StoreIsRetriedOnlyOnce", false, false, nullptr, nullptr, kDiskFolders,
              R(fail(kStore, O)), O, nullptr},
    StoreCase{"MissingDiskFolderIsNotMade", false, false, nullptr, nullptr, kNoDiskRoot, R(), N,
              nullptr, nullptr, "disk"},
    StoreCase{"FolderCreationFails", false, false, nullptr, nullptr, 0, R(fail(kMkdir, O)), O,
              nullptr, nullptr, "disk/flecks"},
    // The fourth creation touching c02 is the first one on the way down.
    StoreCase{"FolderGoneOnTheWayDown", false, false, nullptr, nullptr, 0,
              R(fail(kMkdir, N, "/c02", 3, 1)), N, nullptr, nullptr, "disk/flecks/d01/c02"},
    // With a child, which must keep what it read until now.
    StoreCase{"OldFileMovesIntoTheChild", true, false, "old", nullptr, kChildFolders, R(), kNone,
              "new", "old"},
    StoreCase{"OldFileMovesOnceChildFoldersExist", true, false, "old", nullptr, 0, R(), kNone,
              "new", "old"},
    StoreCase{"NullRecordMovesTheOldFile", true, true, "old", nullptr, kChildFolders, R(), kNone,
              nullptr, "old"},
    StoreCase{"ChildKeepsItsOwnFile", true, false, "old", "own", 0, R(), kNone, "new", "own"},
    StoreCase{"ChildKeepsItsOwnFileWhenTheDiskHasNone", true, false, nullptr, "own",
              kDiskFolders, R(), kNone, "new", "own"},
    StoreCase{"ChildGetsTheZeroRecord", true, false, nullptr, nullptr, 0, R(), kNone, "new",
              "zero"},
    StoreCase{"ZerosOverZerosStoreNothing", true, true, nullptr, nullptr, 0, R(), kNone},
    StoreCase{"MissingChildFolderIsNotMade", true, false, "old", nullptr, kNoChildRoot, R(), N,
              "old", nullptr, "child"},
    StoreCase{"ZeroRecordIsTakenBackWhenTheStoreFails", true, false, nullptr, nullptr,
              kBothFolders, R(fail(kStore, O, "/disk/")), O},
    StoreCase{"ZeroRecordThatCannotBeTakenBackIsLogged", true, false, nullptr, nullptr,
              kBothFolders, R(fail(kStore, U, "/disk/"), fail(FS::DeleteFile, O)), U, nullptr,
              "zero", nullptr, "Cannot remove the zero fleck record from the child disk again."},
    StoreCase{"MovedFileStaysInTheChildWhenTheStoreFails", true, false, "old", nullptr,
              kChildFolders, R(fail(kStore, U)), U, nullptr, "old"},
    // A move failing otherwise: what is there decides.
    StoreCase{"MoveFailsAndTheChildHasAFile", true, false, "old", "own", kBothFolders,
              R(fail(kMove, O)), kNone, "new", "own"},
    StoreCase{"MoveFailsAndOnlyTheDiskHasAFile", true, false, "old", nullptr, kBothFolders,
              R(fail(kMove, O)), O, "old"},
    StoreCase{"MoveFailsAndNoFileExists", true, false, nullptr, nullptr, kBothFolders,
              R(fail(kMove, O)), kNone, "new", "zero"},
    // The zero record's store failing.
    StoreCase{"ZeroRecordAlreadyExists", true, false, nullptr, nullptr, kBothFolders,
              R(fail(kMove, N), fail(kStore, A, "/child/")), kNone, "new"},
    StoreCase{"ZeroRecordFailsButTheChildHasAFile", true, false, nullptr, "own", kBothFolders,
              R(fail(kMove, N), fail(kStore, O, "/child/")), kNone, "new", "own"},
    StoreCase{"ZeroRecordFailsAndTheChildHasNoFile", true, false, nullptr, nullptr, kBothFolders,
              R(fail(kMove, N), fail(kStore, O, "/child/")), O},
    StoreCase{"ZeroRecordNotFound", true, false, nullptr, nullptr, kBothFolders,
              R(fail(kMove, N), fail(kStore, N, "/child/")), N}),
    [](const ::testing::TestParamInfo<StoreCase>& info) { return info.param.name; });
// clang-format on

// The new contents wait for the old ones to reach the child, and the store after a
// move never replaces a file that another writer put there meanwhile.
TEST_F(StorerTest, StoreWaitsForTheMoveAndReplacesNoFileThatAppeared) {
  put(kDisk, "old");
  prepare(kChildFolders);
  fs->addRule(hold(kMove, 1));
  auto listener = zel::make<RecordingListener>();
  zel::P<CFleckStorer> storer = start(fresh, true, listener);
  ASSERT_TRUE(fs->waitForHeld(1, kHangMs));
  EXPECT_EQ(files(), (Files{{kChild, "old"}}));
  EXPECT_FALSE(storer->waitFinished(0));
  put(kDisk, "another writer's");
  fs->releaseHeld();
  ASSERT_TRUE(listener->told->wait(kHangMs));
  EXPECT_EQ(problemOf(storer->getError()), A);
  EXPECT_EQ(files(), (Files{{kChild, "old"}, {kDisk, "another writer's"}}));
}

// While it runs a storer shows no error and a progress below 1; its listener is told
// once, when the end, the progress and the error are visible.
TEST_F(StorerTest, ListenerHearsOfTheEndOnceItIsVisible) {
  prepare(kNoDiskRoot);  // the store fails, then each folder creation up to the top
  fs->addRule(hold(kStore));
  fs->addRule(hold(kMkdir));
  auto listener = zel::make<RecordingListener>();
  zel::P<CFleckStorer> storer = start(fresh, false, listener);
  {
    std::lock_guard<std::mutex> lock(listener->mutex);
    listener->storer = storer.get();  // nothing completes while held
  }
  double before = 0;
  for (int held = 0; held < 6; ++held) {
    ASSERT_TRUE(fs->waitForHeld(1, kHangMs)) << "held " << held;
    EXPECT_FALSE(storer->waitFinished(0));
    EXPECT_EQ(storer->getError(), nullptr);
    EXPECT_GE(storer->getProgress(), before);
    EXPECT_LE(storer->getProgress(), 0.99);
    before = storer->getProgress();
    fs->releaseHeld();
  }
  ASSERT_TRUE(listener->told->wait(kHangMs));
  std::lock_guard<std::mutex> lock(listener->mutex);
  EXPECT_EQ(listener->calls, 1);
  EXPECT_TRUE(listener->finishedAtCall);
  EXPECT_EQ(listener->progressAtCall, 1.0);
  EXPECT_EQ(listener->errorAtCall, N);
  EXPECT_EQ(listener->reported, N);
}

TEST_F(StorerTest, OperationThatCannotStartLetsItsErrorOutOfStart) {
  fs->addRule(Rule{.op = kStore, .problem = O, .throwAtCall = true});
  auto listener = zel::make<RecordingListener>();
  EXPECT_THROW(start(fresh, false, listener), zel::CFileSystemError);
  fs = nullptr;  // ends every operation and listener
  EXPECT_EQ(listener->calls, 0);
}

TEST_F(StorerTest, ListenerThatThrowsChangesNothingAndIsLogged) {
  LogCapture logged;
  prepare(kDiskFolders);
  auto listener = zel::make<RecordingListener>(/*throws=*/true);
  zel::P<CFleckStorer> storer = start(fresh, false, listener);
  ASSERT_TRUE(storer->waitFinished(kHangMs));
  fs = nullptr;  // ends every operation and listener
  EXPECT_EQ(storer->getError(), nullptr);
  EXPECT_EQ(listener->calls, 1);
  EXPECT_EQ(logged.getLines(),
            Lines{"The listener of a fleck storer failed.: The listener failed on purpose."});
}

}  // namespace
}  // namespace fleck::test
