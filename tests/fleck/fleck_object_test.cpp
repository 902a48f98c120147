#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "FleckTestSupport.h"
#include "fleck/CFleck.h"
#include "fleck/CFleckDataPreparer.h"
#include "support/CFaultInjectingFileSystem.h"
#include "support/TempFolder.h"
#include "zel/CFileSystemError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CLocalFileSystem.h"

// The fleck object over the fault-injecting file system: where payloads come from, how
// background saves are bounded and ordered, what failures leave behind.

namespace fleck::test {
namespace {

namespace fsys = std::filesystem;
using FS = CFaultInjectingFileSystem;
using Buffer = zel::TBuffer<unsigned char>;
using Bytes = std::vector<unsigned char>;

constexpr int kFleckSize = 4096;
constexpr int kHangMs = 30000;
// How long a blocked thread is given to do what it must not do.
constexpr auto kNotHappening = std::chrono::milliseconds(200);

CFleckDiskHeader makeHeader() {
  CFleckDiskHeader h;
  h.setFleckSize(kFleckSize);
  h.setCompressID("lz4");
  h.setCipherID("aes256cbc");
  return h;
}

zel::TCryptBuffer<unsigned char> makeKey(unsigned char seed) {
  zel::TCryptBuffer<unsigned char> k;
  k.setUsed(32);
  for (int i = 0; i < 32; ++i)
    k.getData()[i] = static_cast<unsigned char>(seed + i);
  return k;
}

// A compressible payload no two seeds share; 0 gives zeros.
Bytes payload(unsigned seed, std::size_t size = kFleckSize) {
  Bytes bytes(size, 0);
  std::mt19937 random(seed);
  for (auto& b : bytes)
    b = seed == 0 ? 0 : static_cast<unsigned char>(random() % 7);
  return bytes;
}

std::string relativePath(std::int64_t index) {
  zel::TArray<int> digits;
  return CFleck::formRelativeFleckURI(index, 97, 5, 2, digits).toString(false).toUTF8();
}

// Lets held completions go when a test leaves early, so that the fleck's destructor,
// which waits for its storers, does not wait forever. Declare it after the fleck.
struct ReleaseAtExit {
  ~ReleaseAtExit() {
    fs->clearRules();
    fs->releaseHeld();
  }
  zel::P<FS> fs;
};

class FleckObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* side : {"disk", "child", "parent1", "parent2"})
      fsys::create_directory(root.path() + "/" + side);
  }

  zel::CURI folder(const char* side) const { return root.uri() << side; }
  std::string filePath(const char* side, std::int64_t index) const {
    return root.path() + "/" + side + "/" + relativePath(index);
  }
  std::unique_ptr<CFleck> open(const char* side = "disk", const char* child = nullptr,
                               std::vector<const char*> parents = {}, int ops = 4) {
    zel::TList<zel::CURI> list;
    for (const char* parent : parents)
      list.add(folder(parent));
    return std::make_unique<CFleck>(fs, folder(side), child ? folder(child) : zel::CURI(), list,
                                    header, key, ops);
  }
  std::string recordOf(const Bytes& bytes, CFleckDataPreparer& with) {
    Buffer in(bytes.data(), bytes.size()), record;
    with.prepareData(in, record);
    return std::string(reinterpret_cast<const char*>(record.getData()), record.getUsed());
  }
  // Writes the fleck's file as the library would.
  void putFleck(const char* side, std::int64_t index, const Bytes& bytes) {
    putFile(side, index, recordOf(bytes, preparer));
  }
  void putFile(const char* side, std::int64_t index, const std::string& bytes) {
    fsys::create_directories(fsys::path(filePath(side, index)).parent_path());
    writeFile(filePath(side, index), bytes);
  }
  // The payload in the fleck's file, or nothing when there is no file.
  std::optional<Bytes> fileFleck(const char* side, std::int64_t index) {
    if (!fsys::exists(filePath(side, index))) return std::nullopt;
    const std::string bytes = readFile(filePath(side, index));
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
  // Leaves the current fleck and waits until its save has ended.
  void flush(CFleck& fleck) {
    fleck.seek(fleck.getFleckIndex() + 1000, 0);
    ASSERT_TRUE(fleck.waitUntilBackgroundSavesDone(kHangMs));
  }
  int stores() const { return fs->getCallCount(FS::StoreStreamAsync); }
  int opens() const { return fs->getCallCount(FS::OpenStream); }
  void holdStores(int times) {
    fs->addRule({.op = FS::StoreStreamAsync, .hold = true, .times = times});
  }

  TempFolder root;
  zel::P<FS> fs = zel::make<FS>(zel::make<zel::CLocalFileSystem>());
  const CFleckDiskHeader header = makeHeader();
  const zel::TCryptBuffer<unsigned char> key = makeKey(0x30);
  CFleckDataPreparer preparer{header, key};
};

TEST_F(FleckObjectTest, LoadsFromItsOwnFolderThenTheNearestParentThenZeros) {
  putFleck("disk", 1, payload(11));
  putFleck("parent1", 1, payload(12));
  putFleck("parent1", 2, payload(21));
  putFleck("parent2", 2, payload(22));
  putFleck("parent2", 3, payload(31));
  putFleck("parent2", 200, payload(200));  // parent1 lacks even the folder
  auto fleck = open("disk", nullptr, {"parent1", "parent2"});
  EXPECT_EQ(readWhole(*fleck, 1), payload(11));
  EXPECT_EQ(readWhole(*fleck, 2), payload(21));
  EXPECT_EQ(readWhole(*fleck, 3), payload(31));
  EXPECT_EQ(readWhole(*fleck, 200), payload(200));
  EXPECT_EQ(readWhole(*fleck, 4), payload(0));
}

TEST_F(FleckObjectTest, LoadsFromARunningStorersRecordWithoutOpeningAFile) {
  auto fleck = open();
  ReleaseAtExit release{fs};
  putFleck("disk", 7, payload(1));
  holdStores(1);
  writeWhole(*fleck, 7, payload(2));
  fleck->seek(8, 0);
  ASSERT_TRUE(fs->waitForHeld(1, kHangMs));
  ASSERT_EQ(fleck->getBackgroundSavesInProgress(), 1);
  EXPECT_EQ(readWhole(*fleck, 7), payload(2));
  EXPECT_EQ(opens(), 0);
  fs->releaseHeld();
  flush(*fleck);
  EXPECT_EQ(fileFleck("disk", 7), payload(2));
}

// A save waits for a free slot, and for an earlier store of the same fleck.
TEST_F(FleckObjectTest, SavesWaitForAFreeSlotAndForEarlierStoresOfTheFleck) {
  for (bool sameFleck : {false, true}) {
    SCOPED_TRACE(sameFleck ? "same fleck" : "one slot");
    fs = zel::make<FS>(zel::make<zel::CLocalFileSystem>());
    auto fleck = open("disk", nullptr, {}, sameFleck ? 4 : 1);
    ReleaseAtExit release{fs};
    holdStores(1);
    writeWhole(*fleck, 1, payload(1));
    fleck->seek(2, 0);
    ASSERT_TRUE(fs->waitForHeld(1, kHangMs));
    EXPECT_EQ(fleck->waitForFreeBackgroundOpSlot(0), sameFleck);
    EXPECT_FALSE(fleck->waitUntilBackgroundSavesDone(0));
    writeWhole(*fleck, sameFleck ? 1 : 2, payload(2));
    std::thread second([&] { fleck->seek(3, 0); });
    std::this_thread::sleep_for(kNotHappening);
    EXPECT_EQ(stores(), 1);
    fs->releaseHeld();
    second.join();
    ASSERT_TRUE(fleck->waitUntilBackgroundSavesDone(kHangMs));
    EXPECT_EQ(fileFleck("disk", sameFleck ? 1 : 2), payload(2));  // the last write wins
    EXPECT_EQ(fleck->getBackgroundSavesInProgress(), 0);
    EXPECT_FALSE(fleck->haveBackgroundErrors());
  }
}

TEST_F(FleckObjectTest, AllZeroPayloadRemovesTheFileAndTheDestructorSaves) {
  {
    auto fleck = open();
    writeWhole(*fleck, 9, payload(1));
    flush(*fleck);
    ASSERT_EQ(fileFleck("disk", 9), payload(1));
    // Partly over the loaded payload: it is zero only when all of it is.
    const Bytes zeros(kFleckSize, 0);
    fleck->seek(9, 0);
    ASSERT_EQ(fleck->writeLaxInsideFleck(zeros.data(), kFleckSize - 1), kFleckSize - 1);
    ASSERT_EQ(fleck->writeLaxInsideFleck(zeros.data(), 1), 1);
    flush(*fleck);
    EXPECT_FALSE(fsys::exists(filePath("disk", 9)));
    EXPECT_EQ(readWhole(*fleck, 9), zeros);
    writeWhole(*fleck, 4, payload(4));
  }
  EXPECT_EQ(fileFleck("disk", 4), payload(4));
}

TEST_F(FleckObjectTest, SavingWithAChildKeepsTheOldContentsThere) {
  putFleck("disk", 9, payload(1));
  putFleck("disk", 12, payload(5));
  {
    auto disk = open("disk", "child");
    writeWhole(*disk, 9, payload(2));   // the old contents move into the child
    writeWhole(*disk, 11, payload(3));  // nothing old: the child keeps zeros
    flush(*disk);
    writeWhole(*disk, 9, payload(4));  // the child has its snapshot already
    flush(*disk);
    EXPECT_FALSE(disk->haveBackgroundErrors());
  }
  EXPECT_EQ(fileFleck("disk", 9), payload(4));
  EXPECT_EQ(fileFleck("child", 9), payload(1));
  EXPECT_EQ(fileFleck("child", 11), payload(0));
  auto child = open("child", nullptr, {"disk"});
  EXPECT_EQ(readWhole(*child, 9), payload(1));
  EXPECT_EQ(readWhole(*child, 11), payload(0));
  EXPECT_EQ(readWhole(*child, 12), payload(5));  // untouched: read from the parent
}

TEST_F(FleckObjectTest, FailedSavesAreCollectedLoggedAndChangeNothing) {
  LogCapture logged;
  putFleck("disk", 3, payload(1));
  fs->addRule({.op = FS::StoreStreamAsync, .throwAtCall = true, .times = 1});
  fs->addRule({.op = FS::StoreStreamAsync, .problem = zel::CFileSystemError::Unsupported});
  auto fleck = open();
  writeWhole(*fleck, 5, payload(5));  // cannot even start: dropped
  fleck->seek(3, 0);
  EXPECT_EQ(fleck->getBackgroundSavesInProgress(), 0);
  EXPECT_EQ(readWhole(*fleck, 5), payload(0));
  writeWhole(*fleck, 3, payload(3));
  flush(*fleck);
  std::vector<std::int64_t> indexes;
  for (const CFleck::Error& e : fleck->getBackgroundErrorList())
    indexes.push_back(e.fleckIndex);
  EXPECT_EQ(indexes, (std::vector<std::int64_t>{5, 3}));
  EXPECT_EQ(logged.getMessages(),
            (std::vector<std::string>{"Error initiating background fleck storing operation.",
                                      "Error during background fleck storing operation."}));
  EXPECT_EQ(fileFleck("disk", 3), payload(1));
  EXPECT_FALSE(fsys::exists(filePath("disk", 5)));
}

// Damaged files, records of another disk and of another size fail the load with the
// fleck named; a whole-fleck write does not read the file, and a repaired file loads.
TEST_F(FleckObjectTest, BadRecordsFailTheLoadAndNameTheFleck) {
  CFleckDataPreparer otherKey(header, makeKey(0x31));
  struct Case {
    const char* name;
    std::string bytes;
    const char* message;  // how the error's message begins
  };
  const Case cases[] = {
      {"garbage", "not a fleck record", "Fleck file is corrupted."},
      {"another key", recordOf(payload(3), otherKey), "Decryption failed"},
      {"short payload", recordOf(payload(3, 100), preparer), "Fleck file is corrupted: its record"},
      {"too long", std::string(CFleckDataPreparer::getMaxRecordSize(kFleckSize), 'x'),
       "Fleck file is corrupted: it is longer"}};
  for (const auto& [name, bytes, message] : cases) {
    SCOPED_TRACE(name);
    LogCapture logged;
    putFile("disk", 2, bytes);
    auto fleck = open();
    fleck->seek(2, 10);
    Bytes some(10, 0xAB);
    try {
      fleck->readLaxInsideFleck(some.data(), 10);
      ADD_FAILURE() << "read a bad record";
    } catch (const zel::CError& e) {
      EXPECT_EQ(e.getProps().lookup("fleckIndex"), zel::String("2"));
      EXPECT_EQ(e.getMessage().toUTF8().rfind(message, 0), 0u) << e.what();
      EXPECT_TRUE(e.getProps().has("fleckFile"));
    }
    EXPECT_THROW(fleck->writeLaxInsideFleck(some.data(), 10), zel::CError);
    EXPECT_EQ(fleck->getPositionInFleck(), 10);
    EXPECT_EQ(logged.getMessages().size(), 2u);

    putFleck("disk", 2, payload(7));
    ASSERT_EQ(fleck->writeLaxInsideFleck(some.data(), 10), 10);
    flush(*fleck);
    Bytes expected = payload(7);
    std::memset(expected.data() + 10, 0xAB, 10);
    EXPECT_EQ(fileFleck("disk", 2), expected);

    putFile("disk", 2, bytes);
    writeWhole(*fleck, 2, payload(2));
    flush(*fleck);
    EXPECT_EQ(fileFleck("disk", 2), payload(2));
  }
}

TEST_F(FleckObjectTest, WritePreparedFleckReplacesTheUnsavedChange) {
  putFleck("disk", 6, payload(6));
  auto fleck = open();
  const Bytes some(100, 0x55);
  fleck->seek(5, 0);
  ASSERT_EQ(fleck->writeLaxInsideFleck(some.data(), 100), 100);
  const std::string record = recordOf(payload(9), preparer);
  zel::P<CFleckStorer> storer = fleck->writePreparedFleck(
      zel::make<Buffer>(reinterpret_cast<const unsigned char*>(record.data()), record.size()),
      nullptr);
  EXPECT_EQ(readWhole(*fleck, 5), payload(9));
  flush(*fleck);
  EXPECT_EQ(stores(), 1);
  EXPECT_EQ(fileFleck("disk", 5), payload(9));

  fleck->seek(6, 0);
  fleck->writePreparedFleck(nullptr, nullptr);
  flush(*fleck);
  EXPECT_FALSE(fsys::exists(filePath("disk", 6)));
  EXPECT_EQ(readWhole(*fleck, 6), payload(0));
}

TEST_F(FleckObjectTest, PositionsAndTheEndOfThePayload) {
  putFleck("disk", 1, payload(1));
  auto fleck = open();
  const Bytes original = payload(1);
  Bytes got(200, 0);
  fleck->seek(1, 100);
  EXPECT_EQ(fleck->readLaxInsideFleck(got.data(), 0), 0);
  ASSERT_EQ(fleck->readLaxInsideFleck(got.data(), 50), 50);
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 50), Bytes(&original[100], &original[150]));
  EXPECT_EQ(fleck->getPositionInFleck(), 150);
  fleck->seek(1, kFleckSize - 6);
  ASSERT_EQ(fleck->readLaxInsideFleck(got.data(), 100), 6);
  EXPECT_EQ(fleck->readLaxInsideFleck(got.data(), 100), 0);
  EXPECT_EQ(fleck->writeLaxInsideFleck(got.data(), 100), 0);
  fleck->seek(1, kFleckSize + 50);
  EXPECT_EQ(fleck->readLaxInsideFleck(got.data(), 10), 0);
  EXPECT_EQ(fleck->writeLaxInsideFleck(got.data(), 10), 0);
  EXPECT_EQ(fleck->getPositionInFleck(), kFleckSize + 50);
  flush(*fleck);
  EXPECT_EQ(stores(), 0);  // nothing was written

  const Bytes tail(16, 0xCD);
  fleck->seek(1, kFleckSize - 6);
  ASSERT_EQ(fleck->writeLaxInsideFleck(tail.data(), 16), 6);
  flush(*fleck);
  Bytes expected = original;
  std::memset(expected.data() + kFleckSize - 6, 0xCD, 6);
  EXPECT_EQ(fileFleck("disk", 1), expected);

  fleck->seek(1, 5);
  EXPECT_THROW(fleck->seek(2, -1), zel::CInvalidArgError);
  EXPECT_EQ(fleck->getFleckIndex(), 1);
  EXPECT_EQ(fleck->getPositionInFleck(), 5);
  EXPECT_THROW(open("disk", nullptr, {}, 0), zel::CInvalidArgError);
}

// A fleck's path follows from its index and the tree geometry alone.
TEST(FleckObjectPathTest, PathsAndTheEndOfTheTree) {
  const std::tuple<std::int64_t, int, int, const char*> cases[] = {
      {0, 97, 5, "flecks/d00/c00/b00/a00/00.fleck"},
      {96, 97, 5, "flecks/d00/c00/b00/a00/60.fleck"},
      {97, 97, 5, "flecks/d00/c00/b00/a01/00.fleck"},
      {1000000, 97, 5, "flecks/d00/c01/b09/a1b/1b.fleck"},
      {8587340256, 97, 5, "flecks/d60/c60/b60/a60/60.fleck"},  // the last of 97^5
      {255, 16, 2, "flecks/a0f/0f.fleck"},
      {5, 97, 1, "flecks/05.fleck"},
      {4095 * 4096 + 7, 4096, 3, "flecks/b0000/a0fff/0007.fleck"}};
  zel::TArray<int> digits;
  for (const auto& [index, perLevel, levels, path] : cases) {
    const int width = CFleck::computeDigitWidth(perLevel);
    const zel::CURI uri = CFleck::formRelativeFleckURI(index, perLevel, levels, width, digits);
    EXPECT_FALSE(uri.isAbsolute());
    EXPECT_EQ(uri.toString(true), zel::String(path));
    // One more would wrap around to the path of another fleck.
    const std::int64_t next = index == 8587340256 || index == 255 ? index + 1 : -1;
    EXPECT_THROW(CFleck::formRelativeFleckURI(next, perLevel, levels, width, digits),
                 zel::CInvalidArgError);
  }
}

}  // namespace
}  // namespace fleck::test
