#include <algorithm>

#include "FileSystemConformance.h"
#include "FsTestSupport.h"
#include "zel/CMemoryFileSystem.h"

using namespace zel;

namespace fleck::test {
namespace {

CMemoryFileSystem::Options durable(bool on) {
  CMemoryFileSystem::Options options;
  options.durable = on;
  return options;
}

// Every object made shares the files of the first one.
class MemoryEnvironment final : public FileSystemEnvironment {
 public:
  explicit MemoryEnvironment(bool durableMode)
      : options(durable(durableMode)), files(make<CMemoryFileSystem>(options)) {
    files->createFolder(getRoot(), 0x1ff);
  }
  P<IFileSystem> makeFileSystem(int completionThreads) override {
    options.completionThreads = completionThreads;
    return make<CMemoryFileSystem>(options, *files);
  }
  CURI getRoot() const override { return CURI(String("/conformance")); }
  // Stores leave no temporary files: the listing is all there is.
  std::vector<std::string> listRaw(const CURI& folder) override {
    std::vector<std::string> names;
    for (const auto& entry : files->listFolder(folder))
      names.push_back(entry.name.toUTF8());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  CMemoryFileSystem::Options options;
  const P<CMemoryFileSystem> files;
};

FileSystemKind memory(std::string name, bool durableMode) {
  return {std::move(name), [=] { return std::make_unique<MemoryEnvironment>(durableMode); }};
}

INSTANTIATE_TEST_SUITE_P(Memory, FileSystemConformance,
                         ::testing::Values(memory("Memory", false), memory("MemoryDurable", true)),
                         kindName);

P<IIOStream> writeOpen(IFileSystem& fs, const CURI& file, const Bytes& bytes, bool flush) {
  P<IIOStream> stream = fs.openStream(file, IIOStream::AccessWrite, IFileSystem::CreateOrTruncate);
  stream->write(bytes.data(), static_cast<int>(bytes.size()), nullptr);
  if (flush) stream->flush();
  return stream;
}

// How a file came to be decides whether a power failure keeps it, with and without
// durable mode; folder entries count as much as contents.
TEST(MemoryFileSystemTest, PowerLossKeepsExactlyWhatWasMadeDurable) {
  for (bool durableMode : {false, true}) {
    SCOPED_TRACE(durableMode ? "durable" : "not durable");
    auto fs = make<CMemoryFileSystem>(durable(durableMode));
    const CURI synced(String("/synced")), later(String("/synced/later")), folder(String("/f"));
    fs->createFolder(synced, 0x1ff);
    for (const char* name : {"stored", "written", "deleted"})
      writeFile(*fs, synced << name, textBytes("old"));
    fs->sync(synced);
    store(*fs, synced << "stored", textBytes("new"), true);
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
    EXPECT_EQ(problemOfCall([&] { open->write("x", 1, nullptr); }), CFileSystemError::Other);
  }
}

TEST(MemoryFileSystemTest, ArmedPowerFailureStopsEverythingUntilPowerOn) {
  auto fs = make<CMemoryFileSystem>(durable(true));
  const CURI a(String("/a")), b(String("/b")), lockFile(String("/lock"));
  store(*fs, a, textBytes("a"), false);
  P<IIOStream> stream = fs->openStream(b, IIOStream::AccessWrite, IFileSystem::CreateNew);
  P<IBase> lock = fs->lockFile(lockFile, "me");
  fs->powerLossAfter(1, 0);
  stream->write("1", 1, nullptr);  // the one change left
  EXPECT_EQ(problemOfCall([&] { stream->write("2", 1, nullptr); }), CFileSystemError::Other);
  EXPECT_TRUE(fs->hasPowerFailed());
  EXPECT_EQ(problemOfCall([&] { fs->exists(a); }), CFileSystemError::Other);
  EXPECT_EQ(runOperation([&](IDoneListener* l) { return fs->deleteAsync(a, l); })->getProblem(),
            CFileSystemError::Other);

  fs->powerOn();
  EXPECT_EQ(readFile(*fs, a), textBytes("a"));
  EXPECT_FALSE(fs->exists(b));
  EXPECT_EQ(problemOfCall([&] { stream->flush(); }), CFileSystemError::Other);
  // The holder died with the power: the lock is free, and the dead one releases nothing.
  P<IBase> again = fs->lockFile(lockFile, "next");
  lock = nullptr;
  EXPECT_EQ(problemOfCall([&] { fs->lockFile(lockFile, "third"); }), CFileSystemError::Locked);
}

}  // namespace
}  // namespace fleck::test
