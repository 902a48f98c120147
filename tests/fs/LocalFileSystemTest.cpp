#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "FsTestSupport.h"
#include "LocalTestEnvironment.h"
#include "zel/CInvalidArgError.h"
#include "zel/CLocalFileStream.h"

using namespace zel;

namespace fleck_test {

namespace {

P<RecordingListener> store(IFileSystem& fs, const CURI& target, const Bytes& bytes, bool replace) {
  return runOperation([&](IDoneListener* listener) {
    return fs.storeStreamAsync(target, static_cast<std::int64_t>(bytes.size()), streamOf(bytes),
                               replace, listener);
  });
}

CLocalFileSystem::Options options(bool durable, bool noReplaceByLink) {
  CLocalFileSystem::Options chosen;
  chosen.durable = durable;
  chosen.noReplaceByLink = noReplaceByLink;
  return chosen;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(
    Local, FileSystemConformance,
    ::testing::Values(LocalTestEnvironment::kind("Local", options(false, false), false),
                      LocalTestEnvironment::kind("LocalDurable", options(true, false), false),
                      LocalTestEnvironment::kind("LocalLinkFallback", options(false, true), false)),
    fileSystemKindName);

class LocalFileSystemTest : public ::testing::Test {
 protected:
  CURI at(const char* relative) const { return folder.uri() << CURI(relative); }
  std::string pathOf(const char* relative) const { return folder.path() + "/" + relative; }

  TempFolder folder;
  P<CLocalFileSystem> fs = make<CLocalFileSystem>();
};

TEST_F(LocalFileSystemTest, ErrorsCarryTheOperatingSystemsDetails) {
  try {
    fs->openStream(at("missing"), IIOStream::AccessRead, IFileSystem::OpenExisting);
    FAIL() << "opened a missing file";
  } catch (const CFileSystemError& e) {
    EXPECT_EQ(e.getProblem(), CFileSystemError::NotFound);
    EXPECT_EQ(e.getProps().lookup("path"), String::fromUTF8(pathOf("missing")));
    EXPECT_EQ(e.getProps().lookup("errno"), String::fromInt64(ENOENT));
    EXPECT_EQ(e.getProps().lookup("operation"), L"open");
    EXPECT_FALSE(e.getProps().has("uri"));
    EXPECT_EQ(CFileSystemError::getProblem(e.getProps()), CFileSystemError::NotFound);
    ASSERT_NE(e.getCause(), nullptr);
    EXPECT_EQ(e.getCause()->getMessage(), String::fromUTF8(std::system_category().message(ENOENT)));
  }
  // The same for an asynchronous operation, and a rename names both paths.
  writeFile(*fs, at("a"), textBytes("a"));
  writeFile(*fs, at("b"), textBytes("b"));
  auto listener = runOperation([&](IDoneListener* l) {
    return fs->moveAsync(at("a"), at("b"), IFileSystem::MoveNoReplace, l);
  });
  P<CError> error = listener->getError();
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(problemOf(error.get()), CFileSystemError::AlreadyExists);
  EXPECT_EQ(error->getProps().lookup("path"), String::fromUTF8(pathOf("b")));
  EXPECT_EQ(error->getProps().lookup("source"), String::fromUTF8(pathOf("a")));
  EXPECT_EQ(error->getProps().lookup("errno"), String::fromInt64(EEXIST));
  EXPECT_EQ(error->getProps().lookup("operation"), L"rename");
  EXPECT_FALSE(error->getProps().has("uri"));
}

TEST_F(LocalFileSystemTest, ErrorNumbersMapToProblems) {
  const std::pair<int, CFileSystemError::Problem> cases[] = {
      {ENOENT, CFileSystemError::NotFound},      {ENOTDIR, CFileSystemError::NotFound},
      {EEXIST, CFileSystemError::AlreadyExists}, {ENOSYS, CFileSystemError::Unsupported},
      {EXDEV, CFileSystemError::Unsupported},    {EACCES, CFileSystemError::Other},
      {ENOTEMPTY, CFileSystemError::Other},
  };
  for (const auto& [error, problem] : cases)
    EXPECT_EQ(CLocalFileSystem::problemOf(error), problem) << error;
}

TEST_F(LocalFileSystemTest, OtherLocationsAreUnsupported) {
  for (const CURI& location :
       {CURI(String("s3://bucket/file")), CURI(String("a/b")), folder.uri() << String(L"a/b")}) {
    SCOPED_TRACE(location.toString());
    EXPECT_EQ(problemOfCall([&] { fs->exists(location); }), CFileSystemError::Unsupported);
    EXPECT_EQ(problemOfCall([&] {
                fs->openStream(location, IIOStream::AccessRead, IFileSystem::OpenExisting);
              }),
              CFileSystemError::Unsupported);
    auto listener = runOperation([&](IDoneListener* l) {
      return fs->storeStreamAsync(location, 1, streamOf(textBytes("x")), false, l);
    });
    EXPECT_EQ(listener->getProblem(), CFileSystemError::Unsupported);
    EXPECT_FALSE(listener->getError()->getProps().has("uri"));
  }
}

TEST_F(LocalFileSystemTest, InvalidArgumentsAreRejected) {
  EXPECT_THROW(fs->openStream(at("f"), 0, IFileSystem::CreateNew), CInvalidArgError);
  EXPECT_THROW(fs->openStream(at("f"), IIOStream::AccessWrite, 7), CInvalidArgError);
  EXPECT_THROW(fs->openStream(at("f"), IIOStream::AccessRead, IFileSystem::CreateOrTruncate),
               CInvalidArgError);
  EXPECT_FALSE(fs->exists(at("f")));
  CLocalFileSystem::Options noThreads;
  noThreads.completionThreads = 0;
  EXPECT_THROW(CLocalFileSystem{noThreads}, CInvalidArgError);

  auto negative = runOperation([&](IDoneListener* l) {
    return fs->storeStreamAsync(at("f"), -1, streamOf(Bytes()), false, l);
  });
  EXPECT_NE(dynamic_cast<const CInvalidArgError*>(negative->getError().get()), nullptr);
  auto badFlags =
      runOperation([&](IDoneListener* l) { return fs->moveAsync(at("f"), at("g"), 5, l); });
  EXPECT_NE(dynamic_cast<const CInvalidArgError*>(badFlags->getError().get()), nullptr);
  EXPECT_TRUE(listRawNames(folder.path()).empty());
}

TEST_F(LocalFileSystemTest, TemporaryNamesFollowTheirPattern) {
  EXPECT_EQ(CLocalFileSystem::makeTemporaryName("0001.fleck", 4242, 17), ".0001.fleck.tmp-4242-17");
  for (const char* name : {".0001.fleck.tmp-4242-17", ".a.tmp-1-0", "..tmp.tmp-1-2"}) {
    EXPECT_TRUE(CLocalFileSystem::isTemporaryName(name)) << name;
  }
  for (const char* name : {".0001.fleck", "a.tmp-1-2", ".a.tmp-1", ".a.tmp-x-2", ".a.tmp-1-2x",
                           ".a.tmp-1-", ".tmp-1-2"}) {
    EXPECT_FALSE(CLocalFileSystem::isTemporaryName(name)) << name;
  }
  // A long name is cut, before a character rather than inside one, and stays legal.
  std::string longName;
  while (longName.size() < 250)
    longName += "\xC3\xA9";  // é
  const std::string cut = CLocalFileSystem::makeTemporaryName(longName, 2147483647, UINT64_MAX);
  EXPECT_LE(cut.size(), 255u);
  EXPECT_TRUE(CLocalFileSystem::isTemporaryName(cut));
  EXPECT_EQ(String::fromUTF8(cut).find(L'\xFFFD'), String::npos);
  // A store under that name works (its temporary file has the cut name).
  auto listener = runOperation([&](IDoneListener* l) {
    return fs->storeStreamAsync(folder.uri() << String::fromUTF8(longName), 1,
                                streamOf(textBytes("x")), false, l);
  });
  EXPECT_EQ(listener->getProblem(), -1);
  EXPECT_EQ(listRawNames(folder.path()), std::vector<std::string>{longName});
}

TEST_F(LocalFileSystemTest, StoreWritesBesideTheTargetUnderAHiddenName) {
  // A source that looks at the folder while the store is under way.
  std::vector<std::string> rawDuring;
  std::vector<IFileSystem::FolderEntry> listedDuring;
  const Bytes bytes = makeBytes(600 * 1024, 10);
  auto source = make<FailingStream>(bytes, 300 * 1024, [&] {
    if (rawDuring.empty()) {
      rawDuring = listRawNames(folder.path());
      listedDuring = fs->listFolder(folder.uri());
    }
  });
  auto listener = runOperation([&](IDoneListener* l) {
    return fs->storeStreamAsync(at("0001.fleck"), static_cast<std::int64_t>(bytes.size()), source,
                                false, l);
  });
  EXPECT_EQ(listener->getProblem(), -1);
  ASSERT_EQ(rawDuring.size(), 1u);
  EXPECT_TRUE(rawDuring[0].starts_with(".0001.fleck.tmp-" + std::to_string(::getpid()) + "-"))
      << rawDuring[0];
  EXPECT_TRUE(CLocalFileSystem::isTemporaryName(rawDuring[0]));
  EXPECT_TRUE(listedDuring.empty());
  EXPECT_EQ(listRawNames(folder.path()), std::vector<std::string>{"0001.fleck"});
}

TEST_F(LocalFileSystemTest, ListFolderLeavesOutTemporaryFilesOnly) {
  for (const char* name : {".x.tmp-12-34", ".hidden", "y.tmp-1-2", "z"}) {
    const int fd = ::open(pathOf(name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    ASSERT_GE(fd, 0) << name;
    ::close(fd);
  }
  std::vector<std::string> names;
  for (const auto& entry : fs->listFolder(folder.uri()))
    names.push_back(entry.name.toUTF8());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".hidden", "y.tmp-1-2", "z"}));
}

TEST_F(LocalFileSystemTest, SizesAreSixtyFourBits) {
  constexpr std::int64_t kSize = 5LL * 1024 * 1024 * 1024 + 3;  // sparse: no real space used
  {
    P<IIOStream> stream =
        fs->openStream(at("big"), IIOStream::AccessReadWrite, IFileSystem::CreateNew);
    stream->setLength(kSize);
    EXPECT_EQ(stream->getLength(), kSize);
    stream->seek(kSize - 1);
    stream->write("z", 1, nullptr);
    stream->seek(kSize - 2);
    unsigned char last[2] = {1, 1};
    stream->read(last, 2);
    EXPECT_EQ(last[0], 0);
    EXPECT_EQ(last[1], 'z');
    EXPECT_EQ(stream->getPosition(), kSize);
  }
  EXPECT_EQ(fs->getFileInfo(at("big"), IFileSystem::InfoSize)->getSize(), kSize);
}

TEST_F(LocalFileSystemTest, StreamDetailsOfTheLocalFileSystem) {
  ASSERT_TRUE(fs->createFolder(at("folder"), 0x1ff));
  // A folder is no stream.
  EXPECT_EQ(problemOfCall([&] {
              fs->openStream(at("folder"), IIOStream::AccessRead, IFileSystem::OpenExisting);
            }),
            CFileSystemError::Other);
  writeFile(*fs, at("file"), textBytes("abc"));
  P<IIOStream> reading =
      fs->openStream(at("file"), IIOStream::AccessRead, IFileSystem::OpenExisting);
  EXPECT_EQ(reading->getURI(), at("file"));
  EXPECT_EQ(ioCodeOfCall([&] { reading->write("x", 1, nullptr); }), CIOError::NotSupported);
  EXPECT_EQ(problemOfCall([&] { reading->lockRange(0, 1, IStreamBase::LockShared); }),
            CFileSystemError::Unsupported);
  P<IIOStream> writing =
      fs->openStream(at("file"), IIOStream::AccessWrite, IFileSystem::OpenExisting);
  EXPECT_EQ(ioCodeOfCall([&] { writing->setLength(-1); }), CIOError::InvalidPosition);
}

TEST_F(LocalFileSystemTest, NoDescriptorIsLeft) {
  writeFile(*fs, at("existing"), textBytes("x"));
  const int before = countOpenDescriptors();
  {
    P<IIOStream> dropped =
        fs->openStream(at("existing"), IIOStream::AccessRead, IFileSystem::OpenExisting);
  }
  EXPECT_EQ(problemOfCall([&] {
              fs->openStream(at("folder-less/x"), IIOStream::AccessWrite, IFileSystem::CreateNew);
            }),
            CFileSystemError::NotFound);
  fs->listFolder(folder.uri());
  const Bytes bytes = makeBytes(1000, 11);
  store(*fs, at("existing"), bytes, false);
  store(*fs, at("new"), bytes, false);
  runOperation([&](IDoneListener* l) {
    return fs->storeStreamAsync(at("short"), 2000, streamOf(bytes), false, l);
  });
  runOperation([&](IDoneListener* l) {
    return fs->storeStreamAsync(
        at("throws"), 1000, make<FailingStream>(bytes, 10, [] { throw std::runtime_error("x"); }),
        true, l);
  });
  EXPECT_EQ(countOpenDescriptors(), before);
}

TEST_F(LocalFileSystemTest, DestroyedInsideItsOwnCompletion) {
  for (int threads : {1, 2}) {
    SCOPED_TRACE(threads);
    CLocalFileSystem::Options chosen;
    chosen.completionThreads = threads;
    P<CLocalFileSystem> owned = make<CLocalFileSystem>(chosen);
    // The first listener holds the last reference to the file system; operations
    // queued behind it must still end before its destructor returns.
    CSignal ownerGone;
    CSignal released;
    P<IFileSystem> held = owned;
    auto dropper = make<RecordingListener>([&](const CError*) {
      ASSERT_TRUE(ownerGone.wait(kHangGuardMs));
      held = nullptr;
      released.set();
    });
    std::vector<P<RecordingListener>> queued;
    std::vector<P<IAsyncOperation>> operations;
    operations.push_back(owned->deleteAsync(at("nothing"), dropper.get()));
    for (int i = 0; i < 50; ++i) {
      queued.push_back(make<RecordingListener>());
      const Bytes bytes = textBytes(std::to_string(i));
      // Appended piece by piece: gcc 12 at -O3 warns (-Wrestrict) on the chain of '+'.
      std::string name = "f";
      name.append(std::to_string(threads)).append("-").append(std::to_string(i));
      operations.push_back(owned->storeStreamAsync(at(name.c_str()),
                                                   static_cast<std::int64_t>(bytes.size()),
                                                   streamOf(bytes), false, queued.back().get()));
    }
    owned = nullptr;
    ownerGone.set();
    ASSERT_TRUE(released.wait(kHangGuardMs));
    for (auto& operation : operations)
      ASSERT_TRUE(operation->waitDone(kHangGuardMs));
    for (auto& listener : queued) {
      EXPECT_EQ(listener->getCalls(), 1);
      EXPECT_EQ(listener->getProblem(), -1);
    }
  }
  EXPECT_EQ(listRawNames(folder.path()).size(), 100u);
}

}  // namespace fleck_test
