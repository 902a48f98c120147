#include <gtest/gtest.h>

#include <filesystem>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "FleckTestSupport.h"
#include "fleck/CFleckStorer.h"
#include "support/CFaultInjectingFileSystem.h"
#include "support/TempFolder.h"
#include "zel/CFileSystemError.h"
#include "zel/CLocalFileSystem.h"
#include "zel/Log.h"

// The storer's paths, each driven through the fault-injecting file system over the
// local one. Every test checks the files left behind, the outcome, and where the
// order matters the calls the storer made.

namespace fleck {
namespace {

namespace fs_ = std::filesystem;
using fleck::test::CFaultInjectingFileSystem;
using fleck::test::LogCapture;
using fleck::test::TempFolder;
using Buffer = zel::TBuffer<unsigned char>;
using Rule = CFaultInjectingFileSystem::Rule;
using Log = std::vector<std::string>;

// Long enough that only a storer that never ends runs into it.
constexpr int kHangMs = 60000;

const char* const kRelative = "flecks/d01/c02/b03/a04/05.fleck";
// The folders of the fleck path below a disk folder, deepest first.
const char* const kFolders[] = {"flecks/d01/c02/b03/a04", "flecks/d01/c02/b03", "flecks/d01/c02",
                                "flecks/d01", "flecks"};

int problemOf(const zel::CError* error) {
  return error == nullptr ? -1 : zel::CFileSystemError::getProblem(error->getProps());
}

// "none" or the error's text, for readable failures.
std::string describe(const zel::CError* error) {
  return error == nullptr ? "none" : error->what();
}

zel::P<Buffer> record(const std::string& text) {
  return zel::make<Buffer>(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

std::string file(const std::string& side) {
  return side + "/" + kRelative;
}

// The calls of a folder creation below `side` when the deepest `missing` folders of the
// fleck path do not exist: up one level per NotFound, then down again.
Log createFolders(const std::string& side, int missing) {
  const int top = std::min(missing, 4);
  Log calls;
  for (int i = 0; i <= top; ++i)
    calls.push_back("createFolderAsync " + side + "/" + kFolders[i]);
  for (int i = top - 1; i >= 0; --i) {
    calls.push_back("createFolderAsync " + side + "/" + kFolders[i]);
  }
  return calls;
}

Log concat(std::initializer_list<Log> parts) {
  Log all;
  for (const Log& part : parts)
    all.insert(all.end(), part.begin(), part.end());
  return all;
}

const std::string kDiskFile = file("disk");
const std::string kChildFile = file("child");
const std::string kMove = "moveAsync " + kDiskFile + " -> " + kChildFile;
const std::string kStoreDiskReplace = "storeStreamAsync " + kDiskFile + " replace";
const std::string kStoreDiskNoReplace = "storeStreamAsync " + kDiskFile + " noreplace";
const std::string kStoreChildNoReplace = "storeStreamAsync " + kChildFile + " noreplace";

// Records what the storer tells it and what the storer says about itself at that
// moment. The storer to look at is given before any completion can arrive.
class RecordingListener final : public zel::CBase, public virtual zel::IDoneListener {
 public:
  explicit RecordingListener(bool throwAfterwards = false) : throwAfterwards(throwAfterwards) {}

  void watch(CFleckStorer* s) {
    std::lock_guard<std::mutex> lock(mutex);
    storer = s;
  }

  void onDone(const zel::CError* error) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++calls;
      reported = error != nullptr ? error->clone() : nullptr;
      if (storer != nullptr) {
        finishedAtCall = storer->waitFinished(0);
        progressAtCall = storer->getProgress();
        errorAtCall = storer->getError();
      }
    }
    told->set();
    if (throwAfterwards) throw zel::CError("The listener failed on purpose.");
  }

  int getCalls() const {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }

  const bool throwAfterwards;
  const zel::P<zel::CSignal> told = zel::make<zel::CSignal>();
  mutable std::mutex mutex;  // guards everything below
  CFleckStorer* storer = nullptr;
  int calls = 0;
  zel::P<zel::CError> reported;
  std::optional<bool> finishedAtCall;
  double progressAtCall = -1;
  zel::PC<zel::CError> errorAtCall;
};

class StorerTest : public ::testing::Test {
 public:
  void SetUp() override {
    prefix = root.uri().toString(false).toUTF8() + "/";
    fs_::create_directory(path("disk"));
    fs_::create_directory(path("child"));
  }

  std::string path(const std::string& relative) const { return root.path() + "/" + relative; }
  void makeFolders(const std::string& side) {
    fs_::create_directories(path(side + "/" + kFolders[0]));
  }
  void put(const std::string& relative, const std::string& bytes) {
    fs_::create_directories(fs_::path(path(relative)).parent_path());
    fleck::test::writeFile(path(relative), bytes);
  }
  // The file's bytes, or nothing when there is no file.
  std::optional<std::string> content(const std::string& relative) const {
    if (!fs_::exists(path(relative))) return std::nullopt;
    return fleck::test::readFile(path(relative));
  }
  bool folderExists(const std::string& relative) const { return fs_::is_directory(path(relative)); }

  zel::P<CFleckStorer> start(const Buffer* data, bool withChild,
                             zel::IDoneListener* listener = nullptr) {
    const zel::CURI relative(kRelative);
    return CFleckStorer::start(fs, root.uri() << "disk", relative,
                               withChild ? root.uri() << "child" : zel::CURI(),
                               withChild ? relative : zel::CURI(), data, zero.get(), listener);
  }

  // Starts a storer, waits for its end and checks what every ended storer promises.
  zel::P<CFleckStorer> run(const Buffer* data, bool withChild) {
    zel::P<CFleckStorer> storer = start(data, withChild);
    EXPECT_TRUE(storer->waitFinished(kHangMs));
    EXPECT_EQ(storer->getProgress(), 1.0);
    return storer;
  }

  // The call log with the temporary folder's path left out.
  Log log() const {
    Log entries = fs->getLog();
    for (std::string& entry : entries) {
      for (std::size_t at; (at = entry.find(prefix)) != std::string::npos;)
        entry.erase(at, prefix.size());
    }
    return entries;
  }

  // Ends the file systems, which runs every started operation and listener to the end.
  void drain() {
    fs = nullptr;
    local = nullptr;
  }

  TempFolder root;
  std::string prefix;
  zel::P<zel::CLocalFileSystem> local = zel::make<zel::CLocalFileSystem>();
  zel::P<CFaultInjectingFileSystem> fs = zel::make<CFaultInjectingFileSystem>(local);
  zel::P<Buffer> fresh = record("new record");
  zel::P<Buffer> zero = record("zero record");
};

// --- without a child ---

TEST_F(StorerTest, MissingFoldersAreCreatedFromTheDeepestUpAndTheStoreRetried) {
  auto listener = zel::make<RecordingListener>();
  zel::P<CFleckStorer> storer = start(fresh, false, listener);
  ASSERT_TRUE(storer->waitFinished(kHangMs));
  ASSERT_TRUE(listener->told->wait(kHangMs));

  EXPECT_EQ(log(), (Log{
                       kStoreDiskReplace,
                       "createFolderAsync disk/flecks/d01/c02/b03/a04",
                       "createFolderAsync disk/flecks/d01/c02/b03",
                       "createFolderAsync disk/flecks/d01/c02",
                       "createFolderAsync disk/flecks/d01",
                       "createFolderAsync disk/flecks",
                       "createFolderAsync disk/flecks/d01",
                       "createFolderAsync disk/flecks/d01/c02",
                       "createFolderAsync disk/flecks/d01/c02/b03",
                       "createFolderAsync disk/flecks/d01/c02/b03/a04",
                       kStoreDiskReplace,
                   }));
  EXPECT_EQ(content(kDiskFile), "new record");
  EXPECT_EQ(describe(storer->getError()), "none");
  EXPECT_EQ(storer->getProgress(), 1.0);
  EXPECT_EQ(listener->getCalls(), 1);
  EXPECT_EQ(describe(listener->reported), "none");
}

TEST_F(StorerTest, ExistingFileIsReplacedInOneStore) {
  put(kDiskFile, "old");
  run(fresh, false);
  EXPECT_EQ(log(), (Log{kStoreDiskReplace}));
  EXPECT_EQ(content(kDiskFile), "new record");
}

TEST_F(StorerTest, NullRecordRemovesTheDiskFile) {
  put(kDiskFile, "old");
  zel::P<CFleckStorer> storer = run(nullptr, false);
  EXPECT_EQ(log(), (Log{"deleteAsync " + kDiskFile}));
  EXPECT_EQ(content(kDiskFile), std::nullopt);
  EXPECT_EQ(describe(storer->getError()), "none");
  EXPECT_EQ(storer->getFleckData(), nullptr);
}

// Only NotFound sends the storer to make folders; these end it at once.
TEST_F(StorerTest, StoreFailingWithAlreadyExistsOrUnsupportedEndsAtOnceWithoutFolders) {
  for (int problem : {zel::CFileSystemError::AlreadyExists, zel::CFileSystemError::Unsupported}) {
    SCOPED_TRACE(problem);
    fs->clearRules();
    fs->addRule(Rule{.op = CFaultInjectingFileSystem::StoreStreamAsync, .problem = problem});
    const std::size_t before = fs->getLog().size();
    zel::P<CFleckStorer> storer = run(fresh, false);
    const Log calls = log();
    EXPECT_EQ(Log(calls.begin() + static_cast<long>(before), calls.end()), Log{kStoreDiskReplace});
    EXPECT_EQ(problemOf(storer->getError()), problem);
    EXPECT_FALSE(folderExists("disk/flecks"));
  }
}

TEST_F(StorerTest, StoreIsRetriedOnlyOnceAfterTheFolders) {
  makeFolders("disk");
  fs->addRule(Rule{.op = CFaultInjectingFileSystem::StoreStreamAsync,
                   .problem = zel::CFileSystemError::Other});
  zel::P<CFleckStorer> storer = run(fresh, false);
  // The folders exist: the deepest one answers AlreadyExists and the store is retried.
  EXPECT_EQ(log(), concat({{kStoreDiskReplace}, createFolders("disk", 0), {kStoreDiskReplace}}));
  EXPECT_EQ(problemOf(storer->getError()), zel::CFileSystemError::Other);
  EXPECT_EQ(content(kDiskFile), std::nullopt);
}

// --- folder creation failing ---

TEST_F(StorerTest, FolderCreationClimbingPastTheTopEnds) {
  fs_::remove(path("disk"));
  zel::P<CFleckStorer> storer = run(fresh, false);
  EXPECT_EQ(log(), (Log{
                       kStoreDiskReplace,
                       "createFolderAsync disk/flecks/d01/c02/b03/a04",
                       "createFolderAsync disk/flecks/d01/c02/b03",
                       "createFolderAsync disk/flecks/d01/c02",
                       "createFolderAsync disk/flecks/d01",
                       "createFolderAsync disk/flecks",
                   }));
  EXPECT_EQ(problemOf(storer->getError()), zel::CFileSystemError::NotFound);
  EXPECT_FALSE(fs_::exists(path("disk")));
}

TEST_F(StorerTest, FolderCreationFailingOtherwiseEndsAtOnce) {
  fs->addRule(Rule{.op = CFaultInjectingFileSystem::CreateFolderAsync,
                   .problem = zel::CFileSystemError::Other});
  zel::P<CFleckStorer> storer = run(fresh, false);
  EXPECT_EQ(log(), (Log{
                       kStoreDiskReplace,
                       "createFolderAsync disk/flecks/d01/c02/b03/a04",
                   }));
  EXPECT_EQ(problemOf(storer->getError()), zel::CFileSystemError::Other);
}

TEST_F(StorerTest, FolderMissingAfterTurningDownEnds) {
  // "/c02" is part of the first three creations on the way up (which fail by
  // themselves); the fourth, on the way down, is made to find its parent gone.
  fs->addRule(Rule{.op = CFaultInjectingFileSystem::CreateFolderAsync,
                   .pathContains = "/c02",
                   .problem = zel::CFileSystemError::NotFound,
                   .skip = 3,
                   .times = 1});
  zel::P<CFleckStorer> storer = run(fresh, false);
  EXPECT_EQ(log(), (Log{
                       kStoreDiskReplace,
                       "createFolderAsync disk/flecks/d01/c02/b03/a04",
                       "createFolderAsync disk/flecks/d01/c02/b03",
                       "createFolderAsync disk/flecks/d01/c02",
                       "createFolderAsync disk/flecks/d01",
                       "createFolderAsync disk/flecks",
                       "createFolderAsync disk/flecks/d01",
                       "createFolderAsync disk/flecks/d01/c02",
                   }));
  EXPECT_EQ(problemOf(storer->getError()), zel::CFileSystemError::NotFound);
  EXPECT_TRUE(folderExists("disk/flecks/d01"));
  EXPECT_FALSE(folderExists("disk/flecks/d01/c02"));
}

TEST_F(StorerTest, ChildFolderCreationClimbingPastTheTopEnds) {
  put(kDiskFile, "old");
  fs_::remove(path("child"));
  zel::P<CFleckStorer> storer = run(fresh, true);
  EXPECT_EQ(log(), (Log{
                       kMove,
                       "createFolderAsync child/flecks/d01/c02/b03/a04",
                       "createFolderAsync child/flecks/d01/c02/b03",
                       "createFolderAsync child/flecks/d01/c02",
                       "createFolderAsync child/flecks/d01",
                       "createFolderAsync child/flecks",
                   }));
  EXPECT_EQ(problemOf(storer->getError()), zel::CFileSystemError::NotFound);
  EXPECT_EQ(content(kDiskFile), "old");
}

// --- with a child ---

TEST_F(StorerTest, OldFileMovesIntoTheChildAndTheNewOneIsStored) {
  put(kDiskFile, "old");
  makeFolders("child");
  zel::P<CFleckStorer> storer = run(fresh, true);
  EXPECT_EQ(log(), (Log{kMove, kStoreDiskNoReplace}));
  EXPECT_EQ(content(kChildFile), "old");
  EXPECT_EQ(content(kDiskFile), "new record");
  EXPECT_EQ(describe(storer->getError()), "none");
}

TEST_F(StorerTest, OldFileMovesIntoTheChildAfterItsFoldersAreCreated) {
  put(kDiskFile, "old");
  zel::P<CFleckStorer> storer = run(fresh, true);
  EXPECT_EQ(log(), concat({{kMove}, createFolders("child", 5), {kMove, kStoreDiskNoReplace}}));
  EXPECT_EQ(content(kChildFile), "old");
  EXPECT_EQ(content(kDiskFile), "new record");
  EXPECT_EQ(describe(storer->getError()), "none");
}

TEST_F(StorerTest, NullRecordWithChildMovesTheOldFileAndLeavesNoneInTheDisk) {
  put(kDiskFile, "old");
  makeFolders("child");
  zel::P<CFleckStorer> storer = run(nullptr, true);
  EXPECT_EQ(log(), (Log{kMove, "deleteAsync " + kDiskFile}));
  EXPECT_EQ(content(kChildFile), "old");
  EXPECT_EQ(content(kDiskFile), std::nullopt);
  EXPECT_EQ(describe(storer->getError()), "none");
}

TEST_F(StorerTest, ChildWithItsOwnFileStaysUntouched) {
  put(kDiskFile, "old");
  put(kChildFile, "child's own");
  zel::P<CFleckStorer> storer = run(fresh, true);
  EXPECT_EQ(log(), (Log{kMove, kStoreDiskReplace}));
  EXPECT_EQ(content(kChildFile), "child's own");
  EXPECT_EQ(content(kDiskFile), "new record");
  EXPECT_EQ(describe(storer->getError()), "none");
}

TEST_F(StorerTest, NoFileAnywhereGivesTheChildTheZeroRecord) {
  zel::P<CFleckStorer> storer = run(fresh, true);
  EXPECT_EQ(log(), concat({{kMove},
                           createFolders("child", 5),
                           {kMove, kStoreChildNoReplace, kStoreDiskNoReplace},
                           createFolders("disk", 5),
                           {kStoreDiskNoReplace}}));
  EXPECT_EQ(content(kChildFile), "zero record");
  EXPECT_EQ(content(kDiskFile), "new record");
  EXPECT_EQ(describe(storer->getError()), "none");
}

TEST_F(StorerTest, NoFileAnywhereAndNullRecordGivesTheChildNothing) {
  zel::P<CFleckStorer> storer = run(nullptr, true);
  EXPECT_EQ(log(),
            concat({{kMove}, createFolders("child", 5), {kMove, "deleteAsync " + kDiskFile}}));
  EXPECT_EQ(content(kChildFile), std::nullopt);
  EXPECT_EQ(content(kDiskFile), std::nullopt);
  EXPECT_EQ(describe(storer->getError()), "none");
}

TEST_F(StorerTest, ZeroRecordIsRemovedFromTheChildWhenTheFinalStoreFails) {
  makeFolders("child");
  makeFolders("disk");
  fs->addRule(Rule{.op = CFaultInjectingFileSystem::StoreStreamAsync,
                   .pathContains = "/disk/",
                   .problem = zel::CFileSystemError::Other});
  zel::P<CFleckStorer> storer = run(fresh, true);
  EXPECT_EQ(log(), concat({{kMove},
                           createFolders("child", 0),
                           {kMove, kStoreChildNoReplace, kStoreDiskNoReplace},
                           createFolders("disk", 0),
                           {kStoreDiskNoReplace, "deleteFile " + kChildFile}}));
  EXPECT_EQ(problemOf(storer->getError()), zel::CFileSystemError::Other);
  EXPECT_EQ(content(kChildFile), std::nullopt);
  EXPECT_EQ(content(kDiskFile), std::nullopt);
}

TEST_F(StorerTest, ZeroRecordThatCannotBeRemovedIsLoggedAndTheStoresErrorKept) {
  LogCapture logged;
  makeFolders("child");
  makeFolders("disk");
  fs->addRule(Rule{.op = CFaultInjectingFileSystem::StoreStreamAsync,
                   .pathContains = "/disk/",
                   .problem = zel::CFileSystemError::Unsupported});
  fs->addRule(
      Rule{.op = CFaultInjectingFileSystem::DeleteFile, .problem = zel::CFileSystemError::Other});
  zel::P<CFleckStorer> storer = run(fresh, true);
  EXPECT_EQ(
      log(),
      concat({{kMove},
              createFolders("child", 0),
              {kMove, kStoreChildNoReplace, kStoreDiskNoReplace, "deleteFile " + kChildFile}}));
  EXPECT_EQ(problemOf(storer->getError()), zel::CFileSystemError::Unsupported);
  EXPECT_EQ(content(kChildFile), "zero record");
  const std::vector<std::string> messages = logged.getLines();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rfind("Cannot remove the zero fleck record from the child disk again.", 0),
            0u)
      << messages[0];
}

TEST_F(StorerTest, ChildKeepsItsFileWhenTheFinalStoreFailsAfterAMove) {
  put(kDiskFile, "old");
  makeFolders("child");
  fs->addRule(Rule{.op = CFaultInjectingFileSystem::StoreStreamAsync,
                   .problem = zel::CFileSystemError::Unsupported});
  zel::P<CFleckStorer> storer = run(fresh, true);
  EXPECT_EQ(log(), (Log{kMove, kStoreDiskNoReplace}));
  EXPECT_EQ(problemOf(storer->getError()), zel::CFileSystemError::Unsupported);
  // Only a zero record the storer made itself is taken back.
  EXPECT_EQ(content(kChildFile), "old");
}

// A move failing with problem Other once the child's folders exist: what is there
// decides.
class StorerMoveFailsTest : public StorerTest {
 protected:
  void SetUp() override {
    StorerTest::SetUp();
    makeFolders("child");
    makeFolders("disk");
    fs->addRule(
        Rule{.op = CFaultInjectingFileSystem::MoveAsync, .problem = zel::CFileSystemError::Other});
  }
  const Log before =
      concat({{kMove}, createFolders("child", 0), {kMove, "fileExists " + kChildFile}});
};

TEST_F(StorerMoveFailsTest, ChildFileExistsSoTheDiskIsReplaced) {
  put(kDiskFile, "old");
  put(kChildFile, "child's own");
  zel::P<CFleckStorer> storer = run(fresh, true);
  EXPECT_EQ(log(), concat({before, {kStoreDiskReplace}}));
  EXPECT_EQ(content(kChildFile), "child's own");
  EXPECT_EQ(content(kDiskFile), "new record");
  EXPECT_EQ(describe(storer->getError()), "none");
}

TEST_F(StorerMoveFailsTest, OnlyTheDiskFileExistsSoTheStorerEnds) {
  put(kDiskFile, "old");
  zel::P<CFleckStorer> storer = run(fresh, true);
  EXPECT_EQ(log(), concat({before, {"fileExists " + kDiskFile}}));
  EXPECT_EQ(problemOf(storer->getError()), zel::CFileSystemError::Other);
  EXPECT_EQ(content(kChildFile), std::nullopt);
  EXPECT_EQ(content(kDiskFile), "old");
}

TEST_F(StorerMoveFailsTest, NeitherFileExistsSoTheChildGetsTheZeroRecord) {
  zel::P<CFleckStorer> storer = run(fresh, true);
  EXPECT_EQ(
      log(),
      concat({before, {"fileExists " + kDiskFile, kStoreChildNoReplace, kStoreDiskNoReplace}}));
  EXPECT_EQ(content(kChildFile), "zero record");
  EXPECT_EQ(content(kDiskFile), "new record");
  EXPECT_EQ(describe(storer->getError()), "none");
}

// The zero record's store failing: the disk had no file (the move said NotFound).
class StorerZeroRecordFailsTest : public StorerTest {
 protected:
  void SetUp() override {
    StorerTest::SetUp();
    makeFolders("child");
    makeFolders("disk");
    fs->addRule(Rule{.op = CFaultInjectingFileSystem::MoveAsync,
                     .problem = zel::CFileSystemError::NotFound});
  }
  void failZeroStore(int problem) {
    fs->addRule(Rule{.op = CFaultInjectingFileSystem::StoreStreamAsync,
                     .pathContains = "/child/",
                     .problem = problem});
  }
  const Log before = concat({{kMove}, createFolders("child", 0), {kMove, kStoreChildNoReplace}});
};

TEST_F(StorerZeroRecordFailsTest, AlreadyExistsGoesOnToTheStore) {
  failZeroStore(zel::CFileSystemError::AlreadyExists);
  zel::P<CFleckStorer> storer = run(fresh, true);
  EXPECT_EQ(log(), concat({before, {kStoreDiskNoReplace}}));
  EXPECT_EQ(content(kDiskFile), "new record");
  EXPECT_EQ(describe(storer->getError()), "none");
}

TEST_F(StorerZeroRecordFailsTest, OtherWithTheChildFilePresentCountsAsAlreadyExists) {
  put(kChildFile, "child's own");
  failZeroStore(zel::CFileSystemError::Other);
  zel::P<CFleckStorer> storer = run(fresh, true);
  EXPECT_EQ(log(), concat({before, {"exists " + kChildFile, kStoreDiskNoReplace}}));
  EXPECT_EQ(content(kChildFile), "child's own");
  EXPECT_EQ(content(kDiskFile), "new record");
  EXPECT_EQ(describe(storer->getError()), "none");
}

TEST_F(StorerZeroRecordFailsTest, OtherWithoutTheChildFileEnds) {
  failZeroStore(zel::CFileSystemError::Other);
  zel::P<CFleckStorer> storer = run(fresh, true);
  EXPECT_EQ(log(), concat({before, {"exists " + kChildFile}}));
  EXPECT_EQ(problemOf(storer->getError()), zel::CFileSystemError::Other);
  EXPECT_EQ(content(kDiskFile), std::nullopt);
}

TEST_F(StorerZeroRecordFailsTest, NotFoundEnds) {
  failZeroStore(zel::CFileSystemError::NotFound);
  zel::P<CFleckStorer> storer = run(fresh, true);
  EXPECT_EQ(log(), before);
  EXPECT_EQ(problemOf(storer->getError()), zel::CFileSystemError::NotFound);
  EXPECT_EQ(content(kDiskFile), std::nullopt);
}

// --- the end, the listener and progress ---

// The listener is told once, after the end, the progress and the error are visible.
TEST_F(StorerTest, ListenerIsToldOnceAfterTheEndIsVisible) {
  for (bool fails : {true, false}) {  // failing first: it needs the folders missing
    SCOPED_TRACE(fails ? "failing" : "succeeding");
    // The first store is held, so that the listener knows its storer before anything
    // completes; when failing, the folder creation it leads to then fails.
    fs->clearRules();
    fs->addRule(Rule{.op = CFaultInjectingFileSystem::StoreStreamAsync, .hold = true, .times = 1});
    if (fails) {
      fs->addRule(Rule{.op = CFaultInjectingFileSystem::CreateFolderAsync,
                       .problem = zel::CFileSystemError::Other});
    } else {
      makeFolders("disk");
    }
    auto listener = zel::make<RecordingListener>();
    zel::P<CFleckStorer> storer = start(fresh, false, listener);
    listener->watch(storer);
    ASSERT_TRUE(fs->waitForHeld(1, kHangMs));
    fs->releaseHeld();
    ASSERT_TRUE(listener->told->wait(kHangMs));
    ASSERT_TRUE(storer->waitFinished(kHangMs));

    std::lock_guard<std::mutex> lock(listener->mutex);
    EXPECT_EQ(listener->calls, 1);
    EXPECT_EQ(listener->finishedAtCall, true);
    EXPECT_EQ(listener->progressAtCall, 1.0);
    const int expected = fails ? zel::CFileSystemError::Other : -1;
    EXPECT_EQ(problemOf(listener->errorAtCall), expected);
    EXPECT_EQ(problemOf(listener->reported), expected);
  }
}

TEST_F(StorerTest, ErrorIsEmptyAndProgressBelowOneWhileRunning) {
  // The disk folder is missing: the held store has failed already, but the storer
  // has not heard of it yet; later the folder creation fails for good.
  fs_::remove(path("disk"));
  fs->addRule(Rule{.op = CFaultInjectingFileSystem::StoreStreamAsync, .hold = true});
  fs->addRule(Rule{.op = CFaultInjectingFileSystem::CreateFolderAsync, .hold = true});
  zel::P<CFleckStorer> storer = start(fresh, false);

  for (int held = 0; held < 6; ++held) {
    ASSERT_TRUE(fs->waitForHeld(1, kHangMs)) << "held " << held;
    EXPECT_FALSE(storer->waitFinished(0));
    EXPECT_EQ(describe(storer->getError()), "none");
    const double progress = storer->getProgress();
    EXPECT_GE(progress, 0.0);
    EXPECT_LE(progress, 0.99);
    fs->releaseHeld();
  }
  ASSERT_TRUE(storer->waitFinished(kHangMs));
  EXPECT_EQ(problemOf(storer->getError()), zel::CFileSystemError::NotFound);
  EXPECT_EQ(storer->getProgress(), 1.0);
}

// With empty records only the file-system steps count, so when the last step is held
// the progress is the share of steps done.
struct ProgressCase {
  const char* name;
  bool withChild;
  void (*prepare)(StorerTest& test);
  int storesBeforeTheLast;  // stores into the disk that come before the held one
  int steps;                // file-system steps in all
};

void PrintTo(const ProgressCase& c, std::ostream* os) {
  *os << c.name;
}

class StorerProgressTest : public StorerTest, public ::testing::WithParamInterface<ProgressCase> {};

TEST_P(StorerProgressTest, HeldLastStepShowsTheShareOfStepsDone) {
  const ProgressCase& c = GetParam();
  c.prepare(*this);
  zero = zel::make<Buffer>();
  fs->addRule(Rule{.op = CFaultInjectingFileSystem::StoreStreamAsync,
                   .pathContains = "/disk/",
                   .hold = true,
                   .skip = c.storesBeforeTheLast,
                   .times = 1});
  zel::P<CFleckStorer> storer = start(zel::make<Buffer>(), c.withChild);
  ASSERT_TRUE(fs->waitForHeld(1, kHangMs));
  EXPECT_EQ(static_cast<int>(fs->getLog().size()), c.steps) << ::testing::PrintToString(log());
  EXPECT_NEAR(storer->getProgress(), (c.steps - 1.0) / c.steps, 1e-9);
  fs->releaseHeld();
  ASSERT_TRUE(storer->waitFinished(kHangMs));
  EXPECT_EQ(describe(storer->getError()), "none");
  EXPECT_EQ(storer->getProgress(), 1.0);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, StorerProgressTest,
    ::testing::Values(ProgressCase{"Store", false, [](StorerTest& t) { t.makeFolders("disk"); }, 0,
                                   1},
                      ProgressCase{"DiskFolders", false, [](StorerTest&) {}, 1, 11},
                      ProgressCase{"MoveAfterChildFolders", true,
                                   [](StorerTest& t) { t.put(kDiskFile, "old"); }, 0, 12},
                      ProgressCase{"ZeroRecord", true,
                                   [](StorerTest& t) {
                                     t.makeFolders("disk");
                                     t.makeFolders("child");
                                   },
                                   0, 5}),
    [](const ::testing::TestParamInfo<ProgressCase>& info) { return info.param.name; });

// --- failures outside the file system's answers ---

TEST_F(StorerTest, OperationThatCannotStartLetsItsErrorOutOfStart) {
  fs->addRule(Rule{.op = CFaultInjectingFileSystem::StoreStreamAsync,
                   .problem = zel::CFileSystemError::Other,
                   .throwAtCall = true});
  auto listener = zel::make<RecordingListener>();
  EXPECT_THROW(start(fresh, false, listener), zel::CFileSystemError);
  drain();
  EXPECT_EQ(listener->getCalls(), 0);
}

TEST_F(StorerTest, StepThatCannotStartInACompletionEndsTheStorer) {
  fs->addRule(Rule{.op = CFaultInjectingFileSystem::CreateFolderAsync,
                   .problem = zel::CFileSystemError::Other,
                   .throwAtCall = true});
  auto listener = zel::make<RecordingListener>();
  zel::P<CFleckStorer> storer = start(fresh, false, listener);
  ASSERT_TRUE(storer->waitFinished(kHangMs));
  drain();
  EXPECT_EQ(problemOf(storer->getError()), zel::CFileSystemError::Other);
  EXPECT_EQ(listener->getCalls(), 1);
  EXPECT_EQ(problemOf(listener->reported), zel::CFileSystemError::Other);
}

TEST_F(StorerTest, ListenerThatThrowsChangesNothingAndIsLogged) {
  LogCapture logged;
  makeFolders("disk");
  auto listener = zel::make<RecordingListener>(/*throwAfterwards=*/true);
  zel::P<CFleckStorer> storer = start(fresh, false, listener);
  ASSERT_TRUE(storer->waitFinished(kHangMs));
  drain();

  EXPECT_EQ(describe(storer->getError()), "none");
  EXPECT_EQ(listener->getCalls(), 1);
  const std::vector<std::string> messages = logged.getLines();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("The listener failed on purpose."), std::string::npos) << messages[0];
}

}  // namespace
}  // namespace fleck
