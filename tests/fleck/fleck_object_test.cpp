#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <filesystem>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "FleckTestSupport.h"
#include "fleck/CFleck.h"
#include "fleck/CFleckDataPreparer.h"
#include "support/CFaultInjectingFileSystem.h"
#include "support/TempFolder.h"
#include "zel/CFileSystemError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CLocalFileSystem.h"
#include "zel/Log.h"

// The fleck object over the fault-injecting file system: where payloads come from,
// how background saves are bounded and ordered, what failures leave behind.

namespace fleck {
namespace {

namespace fs_ = std::filesystem;
using fleck::test::CFaultInjectingFileSystem;
using fleck::test::LogCapture;
using fleck::test::TempFolder;
using Buffer = zel::TBuffer<unsigned char>;
using Bytes = std::vector<unsigned char>;
using Rule = CFaultInjectingFileSystem::Rule;

constexpr int kFleckSize = 4096;
constexpr int kHangMs = 60000;
// How long a blocked thread is given to do what it must not do.
constexpr auto kNotHappening = std::chrono::milliseconds(200);

CFleckDiskHeader makeHeader() {
  CFleckDiskHeader h;
  h.setFleckSize(kFleckSize);
  h.setCompressID("lz4");
  h.setCipherID("aes256cbc");
  return h;
}

zel::TCryptBuffer<unsigned char> makeKey() {
  zel::TCryptBuffer<unsigned char> k;
  k.setUsed(32);
  for (int i = 0; i < 32; ++i)
    k.getData()[i] = static_cast<unsigned char>(0x30 + i);
  return k;
}

// A payload no two seeds share; 0 gives zeros.
Bytes payload(unsigned seed) {
  Bytes bytes(kFleckSize, 0);
  if (seed == 0) return bytes;
  std::mt19937 random(seed);
  for (auto& b : bytes)
    b = static_cast<unsigned char>(random() % 7);  // compressible
  return bytes;
}

std::string relativePath(std::int64_t index) {
  zel::TArray<int> digits;
  return CFleck::formRelativeFleckURI(index, 97, 5, CFleck::computeDigitWidth(97), digits)
      .toString(false)
      .toUTF8();
}

// Lets held completions go when a test leaves early, so that the fleck's destructor,
// which waits for its storers, does not wait forever. Declare it after the fleck.
class ReleaseAtExit {
 public:
  explicit ReleaseAtExit(CFaultInjectingFileSystem* fs) : fs(fs) {}
  ~ReleaseAtExit() {
    fs->clearRules();
    fs->releaseHeld();
  }
  ReleaseAtExit(const ReleaseAtExit&) = delete;
  ReleaseAtExit& operator=(const ReleaseAtExit&) = delete;

 private:
  zel::P<CFaultInjectingFileSystem> fs;
};

class CountingListener final : public zel::CBase, public virtual zel::IDoneListener {
 public:
  void onDone(const zel::CError*) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++calls;
    }
    told->set();
  }
  int getCalls() const {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }

  // A storer tells its listener after its done signal: wait for this one instead.
  const zel::P<zel::CSignal> told = zel::make<zel::CSignal>();

 private:
  mutable std::mutex mutex;  // guards calls
  int calls = 0;
};

class FleckObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* folder : {"disk", "child", "parent1", "parent2"}) {
      fs_::create_directory(root.path() + "/" + folder);
    }
  }

  zel::CURI folder(const char* name) const { return root.uri() << name; }
  std::string filePath(const char* side, std::int64_t index) const {
    return root.path() + "/" + side + "/" + relativePath(index);
  }

  // Writes the fleck's file as the library would.
  void putFleck(const char* side, std::int64_t index, const Bytes& bytes) {
    Buffer in(bytes.data(), bytes.size()), record;
    preparer.prepareData(in, record);
    putFile(side, index,
            std::string(reinterpret_cast<const char*>(record.getData()), record.getUsed()));
  }
  void putFile(const char* side, std::int64_t index, const std::string& bytes) {
    fs_::create_directories(fs_::path(filePath(side, index)).parent_path());
    fleck::test::writeFile(filePath(side, index), bytes);
  }
  // The payload in the fleck's file, or nothing when there is no file.
  std::optional<Bytes> fileFleck(const char* side, std::int64_t index) {
    if (!fs_::exists(filePath(side, index))) return std::nullopt;
    const std::string bytes = fleck::test::readFile(filePath(side, index));
    Buffer record(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()), out;
    preparer.unprepareData(record, out);
    return Bytes(out.getData(), out.getData() + out.getUsed());
  }

  Bytes readWhole(CFleck& fleck, std::int64_t index) {
    fleck.seek(index, 0);
    Bytes bytes(kFleckSize + 10, 0xEE);
    const int got = fleck.readLaxInsideFleck(bytes.data(), static_cast<int>(bytes.size()));
    EXPECT_EQ(got, kFleckSize);
    bytes.resize(static_cast<std::size_t>(std::max(got, 0)));
    return bytes;
  }
  void writeWhole(CFleck& fleck, std::int64_t index, const Bytes& bytes) {
    fleck.seek(index, 0);
    ASSERT_EQ(fleck.writeLaxInsideFleck(bytes.data(), kFleckSize), kFleckSize);
  }
  zel::P<Buffer> recordOf(const Bytes& bytes) {
    Buffer in(bytes.data(), bytes.size());
    auto record = zel::make<Buffer>();
    preparer.prepareData(in, *record);
    return record;
  }

  int stores() const { return fs->getCallCount(CFaultInjectingFileSystem::StoreStreamAsync); }
  // Stores into the disk's file of one fleck (a first store into missing folders is
  // tried again once they exist).
  int storesOf(std::int64_t index) const {
    return static_cast<int>(fs->getLog("storeStreamAsync " + filePath("disk", index)).size());
  }
  // The store and folder calls, with the temporary folder's path left out.
  std::vector<std::string> storeAndFolderLog() const {
    std::vector<std::string> entries;
    for (std::string entry : fs->getLog()) {
      if (entry.rfind("storeStreamAsync", 0) != 0 && entry.rfind("createFolderAsync", 0) != 0)
        continue;
      entry.erase(entry.find(root.path() + "/"), root.path().size() + 1);
      entries.push_back(entry);
    }
    return entries;
  }
  int opens() const { return fs->getCallCount(CFaultInjectingFileSystem::OpenStream); }
  void holdStores(int times) {
    fs->addRule(
        Rule{.op = CFaultInjectingFileSystem::StoreStreamAsync, .hold = true, .times = times});
  }

  TempFolder root;
  zel::P<CFaultInjectingFileSystem> fs =
      zel::make<CFaultInjectingFileSystem>(zel::make<zel::CLocalFileSystem>());
  const CFleckDiskHeader header = makeHeader();
  const zel::TCryptBuffer<unsigned char> key = makeKey();
  CFleckDataPreparer preparer{header, key};
  const zel::TList<zel::CURI> noParents;
};

// --- where a payload comes from ---

TEST_F(FleckObjectTest, LoadsFromARunningStorersRecordWithoutOpeningAFile) {
  CFleck fleck(fs, folder("disk"), zel::CURI(), noParents, header, key, 4);
  ReleaseAtExit release(fs);
  putFleck("disk", 7, payload(1));
  holdStores(1);
  writeWhole(fleck, 7, payload(2));
  fleck.seek(8, 0);
  ASSERT_TRUE(fs->waitForHeld(1, kHangMs));
  ASSERT_EQ(fleck.getBackgroundSavesInProgress(), 1);

  EXPECT_EQ(readWhole(fleck, 7), payload(2));
  EXPECT_EQ(opens(), 0);

  fs->releaseHeld();
  ASSERT_TRUE(fleck.waitUntilBackgroundSavesDone(kHangMs));
  EXPECT_EQ(fileFleck("disk", 7), payload(2));
}

TEST_F(FleckObjectTest, LoadsFromItsOwnFolderThenTheNearestParentThenZeros) {
  zel::TList<zel::CURI> parents;
  parents.add(folder("parent1"));
  parents.add(folder("parent2"));
  putFleck("disk", 1, payload(11));
  putFleck("parent1", 1, payload(12));
  putFleck("parent1", 2, payload(21));
  putFleck("parent2", 2, payload(22));
  putFleck("parent2", 3, payload(31));
  CFleck fleck(fs, folder("disk"), zel::CURI(), parents, header, key, 4);

  EXPECT_EQ(readWhole(fleck, 1), payload(11));
  EXPECT_EQ(readWhole(fleck, 2), payload(21));
  EXPECT_EQ(readWhole(fleck, 3), payload(31));
  EXPECT_EQ(readWhole(fleck, 4), payload(0));

  const std::string prefix = root.path() + "/";
  std::vector<std::string> expected;
  expected.push_back("openStream " + prefix + "disk/" + relativePath(1));
  for (const char* side : {"disk", "parent1"}) {
    expected.push_back("openStream " + prefix + side + "/" + relativePath(2));
  }
  for (const char* side : {"disk", "parent1", "parent2"}) {
    expected.push_back("openStream " + prefix + side + "/" + relativePath(3));
  }
  for (const char* side : {"disk", "parent1", "parent2"}) {
    expected.push_back("openStream " + prefix + side + "/" + relativePath(4));
  }
  EXPECT_EQ(fs->getLog("openStream"), expected);
}

TEST_F(FleckObjectTest, NearestParentsFleckLoadsWhenTheParentsFolderTreeIsPartial) {
  // parent1 has no "flecks" folder at all: NotFound there too, and the search goes on.
  zel::TList<zel::CURI> parents;
  parents.add(folder("parent1"));
  parents.add(folder("parent2"));
  putFleck("parent2", 5, payload(5));
  CFleck fleck(fs, folder("disk"), zel::CURI(), parents, header, key, 4);
  EXPECT_EQ(readWhole(fleck, 5), payload(5));
}

// --- background saves ---

TEST_F(FleckObjectTest, OneBackgroundOpMakesTheNextSaveWaitForTheFirstStorer) {
  CFleck fleck(fs, folder("disk"), zel::CURI(), noParents, header, key, 1);
  ReleaseAtExit release(fs);
  EXPECT_TRUE(fleck.waitUntilBackgroundSavesDone(0));
  EXPECT_TRUE(fleck.waitForFreeBackgroundOpSlot(0));
  holdStores(1);
  writeWhole(fleck, 1, payload(1));
  writeWhole(fleck, 2, payload(2));  // saves fleck 1
  ASSERT_TRUE(fs->waitForHeld(1, kHangMs));
  EXPECT_FALSE(fleck.waitForFreeBackgroundOpSlot(0));
  EXPECT_FALSE(fleck.waitUntilBackgroundSavesDone(0));
  EXPECT_EQ(fleck.getBackgroundSavesInProgress(), 1);

  std::exception_ptr failure;
  std::thread second([&] {
    try {
      fleck.seek(3, 0);  // saves fleck 2 once the slot is free
    } catch (...) {
      failure = std::current_exception();
    }
  });
  std::this_thread::sleep_for(kNotHappening);
  EXPECT_EQ(stores(), 1);
  EXPECT_EQ(storesOf(2), 0);
  fs->releaseHeld();
  second.join();
  ASSERT_FALSE(failure);

  EXPECT_EQ(storesOf(2), 1);
  ASSERT_TRUE(fleck.waitUntilBackgroundSavesDone(kHangMs));
  EXPECT_EQ(fileFleck("disk", 1), payload(1));
  EXPECT_EQ(fileFleck("disk", 2), payload(2));
  EXPECT_TRUE(fleck.waitForFreeBackgroundOpSlot(0));
  EXPECT_EQ(fleck.getBackgroundSavesInProgress(), 0);
  EXPECT_FALSE(fleck.haveBackgroundErrors());
}

TEST_F(FleckObjectTest, StoresOfOneFleckNeverOverlapAndTheLastWriteWins) {
  CFleck fleck(fs, folder("disk"), zel::CURI(), noParents, header, key, 4);
  ReleaseAtExit release(fs);
  holdStores(1);
  writeWhole(fleck, 5, payload(1));
  fleck.seek(6, 0);
  ASSERT_TRUE(fs->waitForHeld(1, kHangMs));
  writeWhole(fleck, 5, payload(2));

  std::exception_ptr failure;
  std::thread second([&] {
    try {
      fleck.seek(6, 0);  // saves fleck 5 again: waits for the first store of it
    } catch (...) {
      failure = std::current_exception();
    }
  });
  std::this_thread::sleep_for(kNotHappening);
  EXPECT_EQ(stores(), 1);
  fs->releaseHeld();
  second.join();
  ASSERT_FALSE(failure);

  ASSERT_TRUE(fleck.waitUntilBackgroundSavesDone(kHangMs));
  // The first store found no folders: the second storer starts only after the first
  // one's folders and its retried store.
  const std::vector<std::string> calls = storeAndFolderLog();
  ASSERT_EQ(calls.size(), 12u) << ::testing::PrintToString(calls);
  const std::string store = "storeStreamAsync disk/" + relativePath(5) + " replace";
  EXPECT_EQ(calls[0], store);
  for (int i = 1; i <= 9; ++i)
    EXPECT_EQ(calls[i].rfind("createFolderAsync", 0), 0u) << calls[i];
  EXPECT_EQ(calls[10], store);
  EXPECT_EQ(calls[11], store);
  EXPECT_EQ(fileFleck("disk", 5), payload(2));
}

TEST_F(FleckObjectTest, AllZeroPayloadRemovesTheFileAndReadsBackAsZeros) {
  CFleck fleck(fs, folder("disk"), zel::CURI(), noParents, header, key, 4);
  writeWhole(fleck, 9, payload(1));
  fleck.seek(10, 0);
  ASSERT_TRUE(fleck.waitUntilBackgroundSavesDone(kHangMs));
  ASSERT_EQ(fileFleck("disk", 9), payload(1));

  const Bytes zeros(kFleckSize, 0);
  // Partly over the loaded payload, so that the payload is zero only when all is.
  fleck.seek(9, 0);
  ASSERT_EQ(fleck.writeLaxInsideFleck(zeros.data(), kFleckSize - 1), kFleckSize - 1);
  ASSERT_EQ(fleck.writeLaxInsideFleck(zeros.data(), 1), 1);
  fleck.seek(10, 0);
  ASSERT_TRUE(fleck.waitUntilBackgroundSavesDone(kHangMs));

  EXPECT_EQ(fs->getLog("deleteAsync"),
            std::vector<std::string>{"deleteAsync " + filePath("disk", 9)});
  EXPECT_FALSE(fs_::exists(filePath("disk", 9)));
  EXPECT_EQ(readWhole(fleck, 9), zeros);
  EXPECT_FALSE(fleck.haveBackgroundErrors());
}

TEST_F(FleckObjectTest, SavingWithAChildKeepsTheOldContentsThere) {
  putFleck("disk", 9, payload(1));
  putFleck("disk", 12, payload(5));
  {
    CFleck disk(fs, folder("disk"), folder("child"), noParents, header, key, 4);
    writeWhole(disk, 9, payload(2));   // the old contents move into the child
    writeWhole(disk, 11, payload(3));  // nothing old: the child keeps zeros
    disk.seek(13, 0);
    ASSERT_TRUE(disk.waitUntilBackgroundSavesDone(kHangMs));
    writeWhole(disk, 9, payload(4));  // the child has its snapshot already
    disk.seek(13, 0);
    ASSERT_TRUE(disk.waitUntilBackgroundSavesDone(kHangMs));
    EXPECT_FALSE(disk.haveBackgroundErrors());
  }
  EXPECT_EQ(fileFleck("disk", 9), payload(4));
  EXPECT_EQ(fileFleck("disk", 11), payload(3));
  EXPECT_EQ(fileFleck("child", 9), payload(1));
  EXPECT_EQ(fileFleck("child", 11), payload(0));

  zel::TList<zel::CURI> parents;
  parents.add(folder("disk"));
  CFleck child(fs, folder("child"), zel::CURI(), parents, header, key, 4);
  EXPECT_EQ(readWhole(child, 9), payload(1));
  EXPECT_EQ(readWhole(child, 11), payload(0));
  EXPECT_EQ(readWhole(child, 12), payload(5));  // untouched: read from the parent
  EXPECT_EQ(readWhole(child, 13), payload(0));
}

TEST_F(FleckObjectTest, DestructorSavesTheChangeAndWaits) {
  {
    CFleck fleck(fs, folder("disk"), zel::CURI(), noParents, header, key, 4);
    writeWhole(fleck, 4, payload(4));
  }
  EXPECT_EQ(fileFleck("disk", 4), payload(4));
}

// --- failures ---

TEST_F(FleckObjectTest, BackgroundErrorsAreCollectedAndLogged) {
  LogCapture logged;
  fs->addRule(Rule{.op = CFaultInjectingFileSystem::StoreStreamAsync,
                   .problem = zel::CFileSystemError::Unsupported});
  CFleck fleck(fs, folder("disk"), zel::CURI(), noParents, header, key, 4);
  writeWhole(fleck, 3, payload(3));
  writeWhole(fleck, 4, payload(4));
  fleck.seek(5, 0);
  ASSERT_TRUE(fleck.waitUntilBackgroundSavesDone(kHangMs));

  EXPECT_TRUE(fleck.haveBackgroundErrors());
  const zel::TList<CFleck::Error>& errors = fleck.getBackgroundErrorList();
  ASSERT_EQ(errors.size(), 2u);
  std::vector<std::int64_t> indexes;
  for (const CFleck::Error& e : errors) {
    indexes.push_back(e.fleckIndex);
    ASSERT_NE(e.error, nullptr);
    EXPECT_EQ(zel::CFileSystemError::getProblem(e.error->getProps()),
              zel::CFileSystemError::Unsupported);
  }
  // Both storers may have ended by the time they are reaped; the order follows the map.
  std::sort(indexes.begin(), indexes.end());
  EXPECT_EQ(indexes, (std::vector<std::int64_t>{3, 4}));
  EXPECT_EQ(logged.getMessages(),
            (std::vector<std::string>{"Error during background fleck storing operation.",
                                      "Error during background fleck storing operation."}));
  EXPECT_FALSE(fs_::exists(filePath("disk", 3)));
}

TEST_F(FleckObjectTest, StorerThatCannotStartIsCollectedAndTheChangeDropped) {
  LogCapture logged;
  fs->addRule(Rule{.op = CFaultInjectingFileSystem::StoreStreamAsync,
                   .problem = zel::CFileSystemError::Other,
                   .throwAtCall = true,
                   .times = 1});
  CFleck fleck(fs, folder("disk"), zel::CURI(), noParents, header, key, 4);
  writeWhole(fleck, 3, payload(3));
  fleck.seek(4, 0);
  EXPECT_EQ(fleck.getBackgroundSavesInProgress(), 0);
  ASSERT_EQ(fleck.getBackgroundErrorList().size(), 1u);
  EXPECT_EQ(fleck.getBackgroundErrorList().front().fleckIndex, 3);
  EXPECT_EQ(logged.getMessages(),
            std::vector<std::string>{"Error initiating background fleck storing operation."});
  // The change is gone: nothing is saved when the fleck is left again.
  EXPECT_EQ(readWhole(fleck, 3), payload(0));
  fleck.seek(4, 0);
  ASSERT_TRUE(fleck.waitUntilBackgroundSavesDone(kHangMs));
  EXPECT_EQ(stores(), 1);
}

TEST_F(FleckObjectTest, WholeFleckWriteOverACorruptFileDoesNotReadIt) {
  putFile("disk", 2, "not a fleck record");
  CFleck fleck(fs, folder("disk"), zel::CURI(), noParents, header, key, 4);
  writeWhole(fleck, 2, payload(2));
  EXPECT_EQ(opens(), 0);
  fleck.seek(3, 0);
  ASSERT_TRUE(fleck.waitUntilBackgroundSavesDone(kHangMs));
  EXPECT_EQ(fileFleck("disk", 2), payload(2));
}

TEST_F(FleckObjectTest, PartialWriteOverACorruptFileFailsIsLoggedAndRetried) {
  putFile("disk", 2, "not a fleck record");
  CFleck fleck(fs, folder("disk"), zel::CURI(), noParents, header, key, 4);
  const std::string message =
      "Error loading fleck payload (diskFolder: " + folder("disk").toString(true).toUTF8() +
      ", fleckIndex: 2). Letting through.";
  const Bytes ten(10, 0xAB);
  {
    LogCapture logged;
    fleck.seek(2, 10);
    EXPECT_THROW(fleck.writeLaxInsideFleck(ten.data(), 10), zel::CError);
    EXPECT_EQ(fleck.getPositionInFleck(), 10);
    EXPECT_EQ(opens(), 1);
    Bytes into(10);
    EXPECT_THROW(fleck.readLaxInsideFleck(into.data(), 10), zel::CError);
    EXPECT_EQ(opens(), 2);
    EXPECT_EQ(logged.getMessages(), (std::vector<std::string>{message, message}));
  }

  putFleck("disk", 2, payload(7));
  ASSERT_EQ(fleck.writeLaxInsideFleck(ten.data(), 10), 10);
  EXPECT_EQ(opens(), 3);
  EXPECT_EQ(fleck.getPositionInFleck(), 20);
  fleck.seek(3, 0);
  ASSERT_TRUE(fleck.waitUntilBackgroundSavesDone(kHangMs));
  Bytes expected = payload(7);
  std::memset(expected.data() + 10, 0xAB, 10);
  EXPECT_EQ(fileFleck("disk", 2), expected);
}

// --- prepared records, positions ---

TEST_F(FleckObjectTest, WritePreparedFleckDropsTheUnsavedChange) {
  CFleck fleck(fs, folder("disk"), zel::CURI(), noParents, header, key, 4);
  const Bytes some(100, 0x55);
  fleck.seek(5, 0);
  ASSERT_EQ(fleck.writeLaxInsideFleck(some.data(), 100), 100);

  auto listener = zel::make<CountingListener>();
  zel::P<CFleckStorer> storer = fleck.writePreparedFleck(recordOf(payload(9)), listener);
  ASSERT_NE(storer, nullptr);
  EXPECT_EQ(readWhole(fleck, 5), payload(9));  // from the storer's record or the file
  ASSERT_TRUE(storer->waitFinished(kHangMs));
  const int storesBefore = stores();
  fleck.seek(6, 0);
  ASSERT_TRUE(fleck.waitUntilBackgroundSavesDone(kHangMs));

  EXPECT_EQ(stores(), storesBefore);
  EXPECT_EQ(fileFleck("disk", 5), payload(9));
  EXPECT_EQ(readWhole(fleck, 5), payload(9));
  ASSERT_TRUE(listener->told->wait(kHangMs));
  EXPECT_EQ(listener->getCalls(), 1);
}

TEST_F(FleckObjectTest, WritePreparedNullRecordRemovesTheFile) {
  putFleck("disk", 5, payload(5));
  CFleck fleck(fs, folder("disk"), zel::CURI(), noParents, header, key, 4);
  fleck.seek(5, 0);
  zel::P<CFleckStorer> storer = fleck.writePreparedFleck(nullptr, nullptr);
  ASSERT_TRUE(fleck.waitUntilBackgroundSavesDone(kHangMs));
  EXPECT_FALSE(fs_::exists(filePath("disk", 5)));
  EXPECT_EQ(readWhole(fleck, 5), payload(0));
}

TEST_F(FleckObjectTest, PositionsAndTheEndOfThePayload) {
  putFleck("disk", 1, payload(1));
  CFleck fleck(fs, folder("disk"), zel::CURI(), noParents, header, key, 4);
  const Bytes original = payload(1);
  Bytes got(200, 0);

  fleck.seek(1, 100);
  EXPECT_EQ(fleck.getFleckIndex(), 1);
  EXPECT_EQ(fleck.getPositionInFleck(), 100);
  EXPECT_EQ(fleck.readLaxInsideFleck(got.data(), 0), 0);
  EXPECT_EQ(fleck.getPositionInFleck(), 100);
  ASSERT_EQ(fleck.readLaxInsideFleck(got.data(), 50), 50);
  EXPECT_EQ(std::memcmp(got.data(), original.data() + 100, 50), 0);
  EXPECT_EQ(fleck.getPositionInFleck(), 150);

  fleck.seek(1, kFleckSize - 6);
  ASSERT_EQ(fleck.readLaxInsideFleck(got.data(), 100), 6);
  EXPECT_EQ(std::memcmp(got.data(), original.data() + kFleckSize - 6, 6), 0);
  EXPECT_EQ(fleck.getPositionInFleck(), kFleckSize);
  EXPECT_EQ(fleck.readLaxInsideFleck(got.data(), 100), 0);
  EXPECT_EQ(fleck.writeLaxInsideFleck(got.data(), 100), 0);
  EXPECT_EQ(fleck.getPositionInFleck(), kFleckSize);

  fleck.seek(1, kFleckSize + 50);
  EXPECT_EQ(fleck.readLaxInsideFleck(got.data(), 10), 0);
  EXPECT_EQ(fleck.writeLaxInsideFleck(got.data(), 10), 0);
  EXPECT_EQ(fleck.getPositionInFleck(), kFleckSize + 50);

  // Nothing was written: leaving the fleck saves nothing.
  fleck.seek(2, 0);
  ASSERT_TRUE(fleck.waitUntilBackgroundSavesDone(kHangMs));
  EXPECT_EQ(stores(), 0);

  const Bytes tail(16, 0xCD);
  fleck.seek(1, kFleckSize - 6);
  ASSERT_EQ(fleck.writeLaxInsideFleck(tail.data(), 16), 6);
  EXPECT_EQ(fleck.getPositionInFleck(), kFleckSize);
  fleck.seek(2, 0);
  ASSERT_TRUE(fleck.waitUntilBackgroundSavesDone(kHangMs));
  Bytes expected = original;
  std::memset(expected.data() + kFleckSize - 6, 0xCD, 6);
  EXPECT_EQ(fileFleck("disk", 1), expected);
}

TEST_F(FleckObjectTest, NegativePositionsAndFewerThanOneBackgroundOpAreRefused) {
  EXPECT_THROW(CFleck(fs, folder("disk"), zel::CURI(), noParents, header, key, 0),
               zel::CInvalidArgError);
  CFleck fleck(fs, folder("disk"), zel::CURI(), noParents, header, key, 4);
  fleck.seek(1, 5);
  EXPECT_THROW(fleck.seek(2, -1), zel::CInvalidArgError);
  EXPECT_EQ(fleck.getFleckIndex(), 1);
  EXPECT_EQ(fleck.getPositionInFleck(), 5);
}

}  // namespace
}  // namespace fleck
