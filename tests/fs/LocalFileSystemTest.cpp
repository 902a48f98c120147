#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "FsTestSupport.h"
#include "support/CFaultInjectingFileSystem.h"
#include "support/TempFolder.h"
#include "zel/CLocalFileSystem.h"

using namespace zel;

namespace fleck::test {
namespace {

// Every name in a folder, hidden and temporary files included. Sorted.
std::vector<std::string> listRawNames(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// In a fresh temporary folder; optionally behind the fault-injecting wrapper without
// rules, which must then change nothing.
class LocalEnvironment final : public FileSystemEnvironment {
 public:
  LocalEnvironment(CLocalFileSystem::Options options, bool wrapped)
      : options(options), wrapped(wrapped) {}
  P<IFileSystem> makeFileSystem(int completionThreads) override {
    options.completionThreads = completionThreads;
    P<IFileSystem> local = make<CLocalFileSystem>(options);
    return wrapped ? make<CFaultInjectingFileSystem>(local) : local;
  }
  CURI getRoot() const override { return folder.uri(); }
  std::vector<std::string> listRaw(const CURI& at) override {
    return listRawNames(at.toLocalPath());
  }

 private:
  TempFolder folder;
  CLocalFileSystem::Options options;
  const bool wrapped;
};

FileSystemKind local(std::string name, bool durable, bool noReplaceByLink, bool wrapped = false) {
  const CLocalFileSystem::Options options{.durable = durable, .noReplaceByLink = noReplaceByLink};
  return {std::move(name), [=] { return std::make_unique<LocalEnvironment>(options, wrapped); }};
}

INSTANTIATE_TEST_SUITE_P(Local, FileSystemConformance,
                         ::testing::Values(local("Local", false, false),
                                           local("LocalDurable", true, false),
                                           local("LocalLinkFallback", false, true)),
                         kindName);
INSTANTIATE_TEST_SUITE_P(Wrapper, FileSystemConformance,
                         ::testing::Values(local("FaultInjecting", false, false, true)), kindName);

class LocalFileSystemTest : public ::testing::Test {
 protected:
  CURI at(const std::string& name) const { return folder.uri() << String::fromUTF8(name); }
  std::string pathOf(const char* name) const { return folder.path() + "/" + name; }

  TempFolder folder;
  P<CLocalFileSystem> fs = make<CLocalFileSystem>();
};

// A store writes a hidden temporary file beside its target and renames it into place;
// listings leave out exactly the names of that pattern.
TEST_F(LocalFileSystemTest, StoresGoThroughHiddenTemporaryFiles) {
  for (const char* name : {".x.tmp-12-34", ".hidden", "y.tmp-1-2", ".a.tmp-1", ".a.tmp-x-2"})
    writeFile(pathOf(name), "x");
  std::vector<std::string> listed;
  for (const auto& entry : fs->listFolder(folder.uri()))
    listed.push_back(entry.name.toUTF8());
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{".a.tmp-1", ".a.tmp-x-2", ".hidden", "y.tmp-1-2"}));
  std::vector<std::string> during;  // seen by the source half way through the store
  const Bytes bytes = makeBytes(600 * 1024, 10);
  auto source = make<SourceStream>(bytes, 300 * 1024, [&] {
    if (during.empty()) during = listRawNames(folder.path());
  });
  EXPECT_EQ(runOperation([&](IDoneListener* l) {
              return fs->storeStreamAsync(at("0001.fleck"), std::ssize(bytes), source, false, l);
            })->getProblem(),
            kSuccess);
  ASSERT_EQ(during.size(), 6u);
  EXPECT_TRUE(during[0].starts_with(".0001.fleck.tmp-" + std::to_string(::getpid()) + "-"));
  EXPECT_TRUE(CLocalFileSystem::isTemporaryName(during[0]));
  EXPECT_EQ(listRawNames(folder.path()).size(), 6u);
  // A long name is cut in a temporary name before a character, not inside one.
  std::string name = "e";  // then 2-byte characters: a cut at an even length splits one
  for (int i = 0; i < 125; ++i)
    name += "\xC3\xA9";
  const std::string cut = CLocalFileSystem::makeTemporaryName(name, 1, 2);
  EXPECT_LE(cut.size(), 255u);
  EXPECT_EQ(String::fromUTF8(cut).find(L'\xFFFD'), String::npos);
  EXPECT_TRUE(CLocalFileSystem::isTemporaryName(cut));
}

// Regular-only opens and locks never go through a link and never wait on a FIFO.
TEST_F(LocalFileSystemTest, RegularOnlyOpensAndLocksRefuseLinksAndSpecialFiles) {
  writeFile(*fs, at("file"), textBytes("data"));
  std::filesystem::create_symlink(pathOf("file"), pathOf("link"));
  ASSERT_EQ(::mkfifo(pathOf("fifo").c_str(), 0600), 0);
  EXPECT_EQ(readFile(*fs, at("link")), textBytes("data"));  // followed without the flag
  for (const char* name : {"link", "fifo"}) {
    EXPECT_EQ(problemOfCall([&] {
                fs->openStream(at(name), IIOStream::AccessRead, IFileSystem::OpenRegularOnly);
              }),
              CFileSystemError::NotRegular);
    EXPECT_EQ(problemOfCall([&] { fs->lockFile(at(name), "me"); }), CFileSystemError::NotRegular);
  }
  P<IBase> lock = fs->lockFile(at("writer.lock"), "me");
  lock = nullptr;
  EXPECT_FALSE(fs->exists(at("writer.lock")));  // a released lock removes its file
}

TEST_F(LocalFileSystemTest, SizesAreSixtyFourBitsAndNoDescriptorIsLeft) {
  const auto descriptors = [] { return listRawNames("/proc/self/fd").size(); };
  const std::size_t before = descriptors();
  constexpr std::int64_t kSize = 5LL * 1024 * 1024 * 1024 + 3;  // sparse: no real space used
  {
    P<IIOStream> stream =
        fs->openStream(at("big"), IIOStream::AccessReadWrite, IFileSystem::CreateNew);
    stream->setLength(kSize);
    stream->seek(kSize - 1);
    stream->write("z", 1, nullptr);
    stream->seek(kSize - 2);
    unsigned char last[2] = {1, 1};
    stream->read(last, 2);
    EXPECT_EQ(last[1], 'z');
    EXPECT_EQ(last[0], 0);
  }
  EXPECT_EQ(fs->getFileInfo(at("big"), IFileSystem::InfoSize)->getSize(), kSize);
  problemOfCall(
      [&] { fs->openStream(at("no/x"), IIOStream::AccessWrite, IFileSystem::CreateNew); });
  EXPECT_EQ(store(*fs, at("big"), textBytes("x"), false), CFileSystemError::AlreadyExists);
  runOperation([&](IDoneListener* l) {
    return fs->storeStreamAsync(at("short"), 2, streamOf(textBytes("x")), false, l);
  });
  fs->listFolder(folder.uri());
  EXPECT_EQ(descriptors(), before);
}

}  // namespace
}  // namespace fleck::test
