#include <random>

#include "FsTestSupport.h"
#include "MemoryTestEnvironment.h"

using namespace zel;

namespace fleck_test {

namespace {

CMemoryFileSystem::Options durable(bool on) {
  CMemoryFileSystem::Options options;
  options.durable = on;
  return options;
}

void store(IFileSystem& fs, const CURI& target, const Bytes& bytes) {
  auto listener = runOperation([&](IDoneListener* l) {
    return fs.storeStreamAsync(target, static_cast<std::int64_t>(bytes.size()), streamOf(bytes),
                               true, l);
  });
  ASSERT_EQ(listener->getProblem(), -1);
}

// Writes through a stream, flushed or not, and leaves it open.
P<IIOStream> writeOpen(IFileSystem& fs, const CURI& file, const Bytes& bytes, bool flush) {
  P<IIOStream> stream = fs.openStream(file, IIOStream::AccessWrite, IFileSystem::CreateOrTruncate);
  stream->write(bytes.data(), static_cast<int>(bytes.size()), nullptr);
  if (flush) stream->flush();
  return stream;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Memory, FileSystemConformance,
                         ::testing::Values(MemoryTestEnvironment::kind("Memory", durable(false)),
                                           MemoryTestEnvironment::kind("MemoryDurable",
                                                                       durable(true))),
                         fileSystemKindName);

// Each row: how a file came to be and whether a power failure keeps it, with and
// without durable mode; the folders' entries count as much as the contents.
TEST(MemoryFileSystemTest, PowerLossKeepsExactlyWhatWasMadeDurable) {
  for (bool durableMode : {false, true}) {
    SCOPED_TRACE(durableMode ? "durable" : "not durable");
    auto fs = make<CMemoryFileSystem>(durable(durableMode));
    const CURI synced("/synced"), later("/synced/later"), folder("/folder");
    fs->createFolder(synced, 0x1ff);
    store(*fs, synced << "stored", textBytes("old"));
    writeFile(*fs, synced << "written", textBytes("old"));
    writeFile(*fs, synced << "deleted", textBytes("old"));
    fs->sync(synced);
    store(*fs, synced << "stored", textBytes("new"));
    writeOpen(*fs, synced << "written", textBytes("new"), true)->close();
    fs->createFolder(later, 0x1ff);  // in durable mode syncs what is above
    fs->deleteFile(synced << "deleted", false);
    fs->createFolder(folder, 0x1ff);
    P<IIOStream> open = writeOpen(*fs, folder << "open", textBytes("unflushed"), false);

    fs->powerLoss();
    // Stores and flushes are durable only in durable mode; deletions and the entries of
    // files made by openStream never are.
    const Bytes expected = textBytes(durableMode ? "new" : "old");
    EXPECT_EQ(readFile(*fs, synced << "stored"), expected);
    EXPECT_EQ(readFile(*fs, synced << "written"), expected);
    EXPECT_EQ(readFile(*fs, synced << "deleted"), textBytes("old"));
    EXPECT_EQ(fs->folderExists(later), durableMode);
    EXPECT_EQ(fs->folderExists(folder), durableMode);
    EXPECT_FALSE(fs->exists(folder << "open"));
    // What was open before is dead.
    EXPECT_EQ(problemOfCall([&] { open->write("x", 1, nullptr); }), CFileSystemError::Other);
  }
}

// Draws keep each change or lose it; whatever they pick, every page of a file is a
// page of its durable or its newer contents, and synced files are untouched.
TEST(MemoryFileSystemTest, DrawnPowerLossMixesOnlyOldAndNewPages) {
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE(seed);
    auto fs = make<CMemoryFileSystem>();
    const Bytes old = makeBytes(5 * 4096, static_cast<std::uint32_t>(seed));
    const Bytes fresh = makeBytes(3 * 4096 + 5, static_cast<std::uint32_t>(seed) + 100);
    writeFile(*fs, CURI("/file"), old);
    writeFile(*fs, CURI("/kept"), old);
    fs->sync(CURI("/"));
    writeFile(*fs, CURI("/file"), fresh);
    writeFile(*fs, CURI("/new"), fresh);
    fs->powerLoss(seed);
    EXPECT_EQ(readFile(*fs, CURI("/kept")), old);
    if (fs->exists(CURI("/new"))) {
      const Bytes got = readFile(*fs, CURI("/new"));
      EXPECT_TRUE(got.empty() || got.size() == fresh.size());
    }
    const Bytes got = readFile(*fs, CURI("/file"));
    ASSERT_TRUE(got.size() == old.size() || got.size() == fresh.size());
    for (std::size_t page = 0; page < got.size(); page += 4096) {
      auto pageOf = [&](const Bytes& bytes) {
        Bytes part(std::min<std::size_t>(4096, got.size() - page), 0);
        for (std::size_t i = 0; i < part.size() && page + i < bytes.size(); ++i)
          part[i] = bytes[page + i];
        return part;
      };
      const Bytes seen(
          got.begin() + static_cast<std::ptrdiff_t>(page),
          got.begin() + static_cast<std::ptrdiff_t>(std::min(page + 4096, got.size())));
      EXPECT_TRUE(seen == pageOf(old) || seen == pageOf(fresh)) << "page " << page / 4096;
    }
  }
}

TEST(MemoryFileSystemTest, ArmedPowerFailureStopsEverythingUntilPowerOn) {
  auto fs = make<CMemoryFileSystem>(durable(true));
  store(*fs, CURI("/a"), textBytes("a"));
  P<IIOStream> stream = fs->openStream(CURI("/b"), IIOStream::AccessWrite, IFileSystem::CreateNew);
  P<IBase> lock = fs->lockFile(CURI("/lock"), "me");
  fs->powerLossAfter(1, 0);
  stream->write("1", 1, nullptr);  // the one change left
  EXPECT_EQ(problemOfCall([&] { stream->write("2", 1, nullptr); }), CFileSystemError::Other);
  EXPECT_TRUE(fs->hasPowerFailed());
  EXPECT_EQ(problemOfCall([&] { fs->exists(CURI("/a")); }), CFileSystemError::Other);
  auto failed = runOperation([&](IDoneListener* l) { return fs->deleteAsync(CURI("/a"), l); });
  EXPECT_EQ(failed->getProblem(), CFileSystemError::Other);

  fs->powerOn();
  EXPECT_EQ(readFile(*fs, CURI("/a")), textBytes("a"));
  EXPECT_FALSE(fs->exists(CURI("/b")));
  EXPECT_EQ(problemOfCall([&] { stream->flush(); }), CFileSystemError::Other);
  // The holder died with the power: the lock is free, and the dead one releases nothing.
  P<IBase> again = fs->lockFile(CURI("/lock"), "next");
  lock = nullptr;
  EXPECT_EQ(problemOfCall([&] { fs->lockFile(CURI("/lock"), "third"); }), CFileSystemError::Locked);
}

}  // namespace fleck_test
