#include <algorithm>

#include "FsTestSupport.h"
#include "zel/CMemoryFileSystem.h"

using namespace zel;

namespace fleck::test {
namespace {

// Every object made shares the files of the first one.
class MemoryEnvironment final : public FileSystemEnvironment {
 public:
  explicit MemoryEnvironment(bool durable)
      : options{.durable = durable}, files(make<CMemoryFileSystem>(options)) {
    files->createFolder(getRoot(), 0x1ff);
  }
  P<IFileSystem> makeFileSystem(int completionThreads) override {
    options.completionThreads = completionThreads;
    return make<CMemoryFileSystem>(options, *files);
  }
  CURI getRoot() const override { return CURI(String("/conformance")); }
  std::vector<std::string> listRaw(const CURI& folder) override {  // no temporary files
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

FileSystemKind memory(std::string name, bool durable) {
  return {std::move(name), [=] { return std::make_unique<MemoryEnvironment>(durable); }};
}

INSTANTIATE_TEST_SUITE_P(Memory, FileSystemConformance,
                         ::testing::Values(memory("Memory", false), memory("MemoryDurable", true)),
                         kindName);

// What a power failure keeps, with and without durable mode: stores and flushes only
// in durable mode, deletions and the entries of files made by openStream never, and an
// armed failure stops everything, open streams and locks included, until power-on.
TEST(MemoryFileSystemTest, PowerLossKeepsExactlyWhatWasMadeDurable) {
  for (bool durable : {false, true}) {
    SCOPED_TRACE(durable);
    auto fs = make<CMemoryFileSystem>(CMemoryFileSystem::Options{.durable = durable});
    const CURI synced(String("/s")), later(String("/s/later")), folder(String("/f"));
    fs->createFolder(synced, 0x1ff);
    for (const char* name : {"stored", "written", "deleted"})
      writeFile(*fs, synced << name, textBytes("old"));
    fs->sync(synced);
    EXPECT_EQ(store(*fs, synced << "stored", textBytes("new"), true), kSuccess);
    P<IIOStream> flushed =
        fs->openStream(synced << "written", IIOStream::AccessWrite, IFileSystem::OpenExisting);
    flushed->write("new", 3, nullptr);
    flushed->flush();
    fs->createFolder(later, 0x1ff);  // in durable mode syncs what is above
    fs->deleteFile(synced << "deleted", false);
    fs->createFolder(folder, 0x1ff);
    writeFile(*fs, folder << "open", textBytes("x"));
    P<IBase> lock = fs->lockFile(CURI(String("/lock")), "me");
    fs->powerLossAfter(1, 0);
    flushed->write("1", 1, nullptr);  // the one change left
    EXPECT_EQ(problemOfCall([&] { flushed->write("2", 1, nullptr); }), CFileSystemError::Other);
    EXPECT_TRUE(fs->hasPowerFailed());
    EXPECT_EQ(problemOfCall([&] { fs->exists(synced); }), CFileSystemError::Other);
    EXPECT_EQ(
        runOperation([&](IDoneListener* l) { return fs->deleteAsync(synced, l); })->getProblem(),
        CFileSystemError::Other);
    fs->powerOn();
    for (const char* name : {"stored", "written"})
      EXPECT_EQ(readFile(*fs, synced << name), textBytes(durable ? "new" : "old")) << name;
    EXPECT_EQ(readFile(*fs, synced << "deleted"), textBytes("old"));
    EXPECT_EQ(fs->folderExists(later), durable);
    EXPECT_EQ(fs->folderExists(folder), durable);
    EXPECT_FALSE(fs->exists(folder << "open"));
    EXPECT_EQ(problemOfCall([&] { flushed->flush(); }), CFileSystemError::Other);
    // The holder died with the power: the lock is free, and the dead one releases nothing.
    P<IBase> again = fs->lockFile(CURI(String("/lock")), "next");
    lock = nullptr;
    EXPECT_EQ(problemOfCall([&] { fs->lockFile(CURI(String("/lock")), "third"); }),
              CFileSystemError::Locked);
  }
}

}  // namespace
}  // namespace fleck::test
