#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
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
using Key = zel::TCryptBuffer<unsigned char>;

constexpr int kFleckSize = 4096;
constexpr int kHangMs = 30000;

// A compressible payload no two seeds share; 0 gives zeros.
std::string payload(unsigned seed, std::size_t size = kFleckSize) {
  std::string bytes(size, '\0');
  std::mt19937 random(seed);
  for (char& b : bytes)
    b = static_cast<char>(seed == 0 ? 0 : random() % 7);
  return bytes;
}

Buffer buffer(const std::string& bytes) {
  return Buffer(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

Key key(char seed) {
  return Key(std::vector<unsigned char>(32, static_cast<unsigned char>(seed)).data(), 32);
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
  FleckObjectTest() {
    header.setFleckSize(kFleckSize);
    header.setCompressID("lz4");
    header.setCipherID("aes256cbc");
    for (const char* side : {"disk", "child", "parent1", "parent2"})
      fsys::create_directory(root.path() + "/" + side);
  }

  std::string filePath(const char* side, std::int64_t index) const {
    zel::TArray<int> digits;
    return root.path() + "/" + side + "/" +
           CFleck::formRelativeFleckURI(index, 97, 5, 2, digits).toString(false).toUTF8();
  }
  std::unique_ptr<CFleck> open(const char* side = "disk", const char* child = nullptr,
                               std::vector<const char*> parents = {}, int ops = 4) {
    zel::TList<zel::CURI> list;
    for (const char* parent : parents)
      list.add(root.uri() << parent);
    return std::make_unique<CFleck>(fs, root.uri() << side,
                                    child ? root.uri() << child : zel::CURI(), list, header, key(1),
                                    ops);
  }
  std::string recordOf(const std::string& bytes, char keySeed = 1) {
    Buffer record;
    CFleckDataPreparer(header, key(keySeed)).prepareData(buffer(bytes), record);
    return std::string(reinterpret_cast<const char*>(record.getData()), record.getUsed());
  }
  // Writes the fleck's file; a record by default, as the library would.
  void put(const char* side, std::int64_t index, const std::string& bytes, bool raw = false) {
    fsys::create_directories(fsys::path(filePath(side, index)).parent_path());
    writeFile(filePath(side, index), raw ? bytes : recordOf(bytes));
  }
  // The payload in the fleck's file, "none" when there is no file.
  std::string fileFleck(const char* side, std::int64_t index) {
    if (!fsys::exists(filePath(side, index))) return "none";
    Buffer out;
    CFleckDataPreparer(header, key(1)).unprepareData(buffer(readFile(filePath(side, index))), out);
    return std::string(reinterpret_cast<const char*>(out.getData()), out.getUsed());
  }
  std::string readWhole(CFleck& fleck, std::int64_t index) {
    fleck.seek(index, 0);
    std::string bytes(kFleckSize + 10, '\xEE');
    bytes.resize(static_cast<std::size_t>(
        std::max(fleck.readLaxInsideFleck(bytes.data(), kFleckSize + 10), 0)));
    return bytes;
  }
  void writeWhole(CFleck& fleck, std::int64_t index, const std::string& bytes) {
    fleck.seek(index, 0);
    ASSERT_EQ(fleck.writeLaxInsideFleck(bytes.data(), kFleckSize), kFleckSize);
  }
  // Leaves the current fleck and waits until every save has ended.
  void flush(CFleck& fleck) {
    fleck.seek(fleck.getFleckIndex() + 1000, 0);
    ASSERT_TRUE(fleck.waitUntilBackgroundSavesDone(kHangMs));
  }
  int stores() const { return fs->getCallCount(FS::StoreStreamAsync); }

  TempFolder root;
  zel::P<FS> fs = zel::make<FS>(zel::make<zel::CLocalFileSystem>());
  CFleckDiskHeader header;
};

TEST_F(FleckObjectTest, LoadsFromARunningStorersRecordWithoutOpeningAFile) {
  auto fleck = open();
  ReleaseAtExit release{fs};
  put("disk", 7, payload(1));
  fs->addRule({.op = FS::StoreStreamAsync, .hold = true});
  writeWhole(*fleck, 7, payload(2));
  fleck->seek(8, 0);
  ASSERT_TRUE(fs->waitForHeld(1, kHangMs));
  ASSERT_EQ(fleck->getBackgroundSavesInProgress(), 1);
  EXPECT_EQ(readWhole(*fleck, 7), payload(2));
  EXPECT_EQ(fs->getCallCount(FS::OpenStream), 0);
  fs->releaseHeld();
  fleck->waitUntilBackgroundSavesDone(kHangMs);
  EXPECT_EQ(fileFleck("disk", 7), payload(2));
}

// A save waits for a free slot, and for an earlier store of the same fleck.
TEST_F(FleckObjectTest, SavesWaitForAFreeSlotAndForEarlierStoresOfTheFleck) {
  for (bool sameFleck : {false, true}) {
    SCOPED_TRACE(sameFleck ? "same fleck" : "one slot");
    fs = zel::make<FS>(zel::make<zel::CLocalFileSystem>());
    auto fleck = open("disk", nullptr, {}, sameFleck ? 4 : 1);
    ReleaseAtExit release{fs};
    fs->addRule({.op = FS::StoreStreamAsync, .hold = true, .times = 1});
    writeWhole(*fleck, 1, payload(1));
    fleck->seek(2, 0);
    ASSERT_TRUE(fs->waitForHeld(1, kHangMs));
    EXPECT_EQ(fleck->waitForFreeBackgroundOpSlot(0), sameFleck);
    EXPECT_FALSE(fleck->waitUntilBackgroundSavesDone(0));
    writeWhole(*fleck, sameFleck ? 1 : 2, payload(2));
    std::thread second([&] { fleck->seek(3, 0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(stores(), 1);  // the second save has not started
    fs->releaseHeld();
    second.join();
    ASSERT_TRUE(fleck->waitUntilBackgroundSavesDone(kHangMs));
    EXPECT_EQ(fileFleck("disk", sameFleck ? 1 : 2), payload(2));  // the last write wins
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
    fleck->seek(9, 0);
    ASSERT_EQ(fleck->writeLaxInsideFleck(payload(0).data(), kFleckSize - 1), kFleckSize - 1);
    ASSERT_EQ(fleck->writeLaxInsideFleck(payload(0).data(), 1), 1);
    flush(*fleck);
    EXPECT_EQ(fileFleck("disk", 9), "none");
    EXPECT_EQ(readWhole(*fleck, 9), payload(0));
    writeWhole(*fleck, 4, payload(4));
  }
  EXPECT_EQ(fileFleck("disk", 4), payload(4));
}

// The child keeps what it read; a fleck loads from the nearest folder of the chain that
// has it, else it is zeros.
TEST_F(FleckObjectTest, SavingWithAChildKeepsTheOldContentsThere) {
  put("disk", 9, payload(1));
  put("disk", 12, payload(5));
  put("parent1", 12, payload(6));
  put("parent1", 200, payload(7));  // the disk lacks even the folder
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
  auto child = open("child", nullptr, {"disk", "parent1"});
  EXPECT_EQ(readWhole(*child, 9), payload(1));
  EXPECT_EQ(readWhole(*child, 11), payload(0));
  EXPECT_EQ(fileFleck("child", 11), payload(0));
  EXPECT_EQ(readWhole(*child, 12), payload(5));  // untouched: read from the parent
  EXPECT_EQ(readWhole(*child, 200), payload(7));
  EXPECT_EQ(readWhole(*child, 13), payload(0));
}

TEST_F(FleckObjectTest, FailedSavesAreCollectedLoggedAndChangeNothing) {
  LogCapture logged;
  put("disk", 3, payload(1));
  fs->addRule({.op = FS::StoreStreamAsync, .throwAtCall = true, .times = 1});
  fs->addRule({.op = FS::StoreStreamAsync, .problem = zel::CFileSystemError::Unsupported});
  auto fleck = open();
  writeWhole(*fleck, 5, payload(5));  // its storer cannot even start: the change is dropped
  writeWhole(*fleck, 3, payload(3));
  EXPECT_EQ(readWhole(*fleck, 5), payload(0));
  flush(*fleck);
  std::vector<std::int64_t> indexes;
  for (const CFleck::Error& e : fleck->getBackgroundErrorList())
    indexes.push_back(e.fleckIndex);
  EXPECT_EQ(indexes, (std::vector<std::int64_t>{5, 3}));
  EXPECT_EQ(logged.getMessages(),
            (std::vector<std::string>{"Error initiating background fleck storing operation.",
                                      "Error during background fleck storing operation."}));
  EXPECT_EQ(fileFleck("disk", 3), payload(1));
  EXPECT_EQ(fileFleck("disk", 5), "none");
}

// Damaged files and records of another disk fail the load, logged and with the fleck
// named; a whole-fleck write reads nothing, and a repaired file loads.
TEST_F(FleckObjectTest, BadRecordsFailTheLoadAndNameTheFleck) {
  const std::tuple<const char*, std::string, const char*> cases[] = {
      {"garbage", "not a fleck record", "Fleck file is corrupted."},
      {"another key", recordOf(payload(3), 2), "Decryption failed"},
      {"short payload", recordOf(payload(3, 100)), "Fleck file is corrupted: its record"},
      {"too long", std::string(CFleckDataPreparer::getMaxRecordSize(kFleckSize), 'x'),
       "Fleck file is corrupted: it is longer"}};
  for (const auto& [name, bytes, message] : cases) {
    SCOPED_TRACE(name);
    LogCapture logged;
    put("disk", 2, bytes, /*raw=*/true);
    auto fleck = open();
    fleck->seek(2, 10);
    try {
      fleck->readLaxInsideFleck(payload(0).data(), 10);
      ADD_FAILURE() << "read a bad record";
    } catch (const zel::CError& e) {
      EXPECT_EQ(e.getMessage().toUTF8().rfind(message, 0), 0u) << e.what();
      EXPECT_EQ(e.getProps().lookup("fleckIndex"), zel::String("2"));
      EXPECT_TRUE(e.getProps().has("fleckFile"));
    }
    EXPECT_THROW(fleck->writeLaxInsideFleck("0123456789", 10), zel::CError);
    EXPECT_EQ(fleck->getPositionInFleck(), 10);
    EXPECT_EQ(logged.getMessages().size(), 2u);

    put("disk", 2, payload(7));
    ASSERT_EQ(fleck->writeLaxInsideFleck("0123456789", 10), 10);
    flush(*fleck);
    EXPECT_EQ(fileFleck("disk", 2), payload(7).replace(10, 10, "0123456789"));
    put("disk", 2, bytes, /*raw=*/true);
    writeWhole(*fleck, 2, payload(2));
    flush(*fleck);
    EXPECT_EQ(fileFleck("disk", 2), payload(2));
  }
}

TEST_F(FleckObjectTest, PositionsAndTheEndOfThePayload) {
  put("disk", 1, payload(1));
  auto fleck = open();
  std::string got(100, '\0');
  fleck->seek(1, 100);
  EXPECT_EQ(fleck->readLaxInsideFleck(got.data(), 0), 0);
  ASSERT_EQ(fleck->readLaxInsideFleck(got.data(), 50), 50);
  EXPECT_EQ(got.substr(0, 50), payload(1).substr(100, 50));
  EXPECT_EQ(fleck->getPositionInFleck(), 150);
  for (int at : {kFleckSize - 6, kFleckSize, kFleckSize + 50}) {
    fleck->seek(1, at);
    EXPECT_EQ(fleck->readLaxInsideFleck(got.data(), 100), std::max(kFleckSize - at, 0)) << at;
    EXPECT_EQ(fleck->writeLaxInsideFleck(got.data(), 10), 0) << at;
  }
  flush(*fleck);
  EXPECT_EQ(stores(), 0);  // nothing was written
  fleck->seek(1, kFleckSize - 6);
  ASSERT_EQ(fleck->writeLaxInsideFleck("0123456789abcdef", 16), 6);
  flush(*fleck);
  EXPECT_EQ(fileFleck("disk", 1), payload(1).replace(kFleckSize - 6, 6, "012345"));

  fleck->seek(1, 5);
  EXPECT_THROW(fleck->seek(2, -1), zel::CInvalidArgError);
  EXPECT_EQ(fleck->getFleckIndex() * 1000 + fleck->getPositionInFleck(), 1005);
  EXPECT_THROW(open("disk", nullptr, {}, 0), zel::CInvalidArgError);
}

// A fleck's path follows from its index and the tree geometry alone; an index past the
// tree would wrap around to another fleck's path.
TEST(FleckObjectPathTest, PathsAndTheEndOfTheTree) {
  const std::tuple<std::int64_t, int, int, const char*> cases[] = {
      {0, 97, 5, "flecks/d00/c00/b00/a00/00.fleck"},
      {97, 97, 5, "flecks/d00/c00/b00/a01/00.fleck"},
      {1000000, 97, 5, "flecks/d00/c01/b09/a1b/1b.fleck"},
      {8587340256, 97, 5, "flecks/d60/c60/b60/a60/60.fleck"},  // the last of 97^5
      {255, 16, 2, "flecks/a0f/0f.fleck"},
      {4095 * 4096 + 7, 4096, 3, "flecks/b0000/a0fff/0007.fleck"}};
  zel::TArray<int> digits;
  for (const auto& [index, perLevel, levels, path] : cases) {
    const int width = CFleck::computeDigitWidth(perLevel);
    EXPECT_EQ(CFleck::formRelativeFleckURI(index, perLevel, levels, width, digits).toString(true),
              zel::String(path));
  }
  EXPECT_THROW(CFleck::formRelativeFleckURI(8587340257, 97, 5, 2, digits), zel::CInvalidArgError);
  EXPECT_THROW(CFleck::formRelativeFleckURI(256, 16, 2, 2, digits), zel::CInvalidArgError);
  EXPECT_THROW(CFleck::formRelativeFleckURI(-1, 16, 2, 2, digits), zel::CInvalidArgError);
}

}  // namespace
}  // namespace fleck::test
