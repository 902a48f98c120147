#include "FileSystemConformance.h"

#include <algorithm>
#include <latch>
#include <stdexcept>
#include <thread>

#include "FsTestSupport.h"
#include "zel/CIOError.h"

using namespace zel;

namespace fleck_test {

namespace {

constexpr int NotFound = CFileSystemError::NotFound;
constexpr int AlreadyExists = CFileSystemError::AlreadyExists;
constexpr int Other = CFileSystemError::Other;
constexpr int Success = -1;

std::vector<std::string> sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

// Starts a store of `bytes` and waits for it; the listener.
P<RecordingListener> store(IFileSystem& fs, const CURI& target, const Bytes& bytes, bool replace) {
  return runOperation([&](IDoneListener* listener) {
    return fs.storeStreamAsync(target, static_cast<std::int64_t>(bytes.size()), streamOf(bytes),
                               replace, listener);
  });
}

}  // namespace

// --- synchronous operations ---

TEST_P(FileSystemConformance, InfoAndExistsTellFilesFromFolders) {
  writeFile(*fs, at("file"), makeBytes(1234, 1));
  ASSERT_TRUE(fs->createFolder(at("folder"), 0x1ff));
  // Without folders of their own, a folder exists only while something lies below it.
  if (!environment->hasRealFolders()) writeFile(*fs, at("folder/inside"), textBytes("x"));

  P<CFileInfo> file = fs->getFileInfo(at("file"), IFileSystem::InfoSize);
  EXPECT_EQ(file->getSize(), 1234);
  EXPECT_FALSE(file->isFolder());
  EXPECT_TRUE(fs->getFileInfo(at("folder"), IFileSystem::InfoSize)->isFolder());
  EXPECT_TRUE(fs->fileExists(at("file")));
  EXPECT_FALSE(fs->folderExists(at("file")));
  EXPECT_FALSE(fs->fileExists(at("folder")));
  EXPECT_TRUE(fs->folderExists(at("folder")));
  EXPECT_TRUE(fs->folderExists(root));
  // "file/x" has a file where a folder of the path should be.
  for (const char* missing : {"missing", "missing/x", "file/x"}) {
    SCOPED_TRACE(missing);
    EXPECT_EQ(problemOfCall([&] { fs->getFileInfo(at(missing), IFileSystem::InfoSize); }),
              NotFound);
    EXPECT_FALSE(fs->exists(at(missing)));
    EXPECT_FALSE(fs->fileExists(at(missing)));
    EXPECT_FALSE(fs->folderExists(at(missing)));
  }
}

TEST_P(FileSystemConformance, OpenExistingAndCreateNewNeedTheRightState) {
  writeFile(*fs, at("file"), textBytes("keep"));
  for (const char* missing : {"missing", "no/such/folder", "file/below"}) {
    SCOPED_TRACE(missing);
    for (int access : {IIOStream::AccessRead, IIOStream::AccessReadWrite}) {
      EXPECT_EQ(
          problemOfCall([&] { fs->openStream(at(missing), access, IFileSystem::OpenExisting); }),
          NotFound);
    }
  }
  // Creating in a folder that does not exist.
  if (environment->hasRealFolders()) {
    EXPECT_EQ(problemOfCall([&] {
                fs->openStream(at("no/file"), IIOStream::AccessReadWrite, IFileSystem::CreateNew);
              }),
              NotFound);
  }
  EXPECT_FALSE(fs->exists(at("missing")));

  EXPECT_EQ(problemOfCall([&] {
              fs->openStream(at("file"), IIOStream::AccessReadWrite, IFileSystem::CreateNew);
            }),
            AlreadyExists);
  EXPECT_EQ(readFile(*fs, at("file")), textBytes("keep"));
  P<IIOStream> stream = fs->openStream(at("new"), IIOStream::AccessWrite, IFileSystem::CreateNew);
  EXPECT_EQ(stream->getLength(), 0);
  stream->write("abc", 3, nullptr);
  stream->close();
  EXPECT_EQ(readFile(*fs, at("new")), textBytes("abc"));
}

TEST_P(FileSystemConformance, CreateOrTruncateEmptiesAndOpenOrCreateKeeps) {
  writeFile(*fs, at("file"), makeBytes(5000, 2));
  // A shorter rewrite must not keep the tail of the old contents.
  const Bytes shorter = makeBytes(17, 3);
  writeFile(*fs, at("file"), shorter);
  EXPECT_EQ(readFile(*fs, at("file")), shorter);

  writeFile(*fs, at("file"), textBytes("0123456789"));
  {
    P<IIOStream> stream =
        fs->openStream(at("file"), IIOStream::AccessReadWrite, IFileSystem::OpenOrCreate);
    EXPECT_EQ(stream->getLength(), 10);
    EXPECT_EQ(stream->getPosition(), 0);
    stream->write("ab", 2, nullptr);
    stream->close();
  }
  EXPECT_EQ(readFile(*fs, at("file")), textBytes("ab23456789"));
  fs->openStream(at("created"), IIOStream::AccessReadWrite, IFileSystem::OpenOrCreate)->close();
  EXPECT_EQ(fs->getFileInfo(at("created"), IFileSystem::InfoSize)->getSize(), 0);
}

TEST_P(FileSystemConformance, StreamRefusesWhatItsAccessOrClosingForbids) {
  writeFile(*fs, at("file"), textBytes("data"));
  unsigned char byte = 0;
  P<IIOStream> reading =
      fs->openStream(at("file"), IIOStream::AccessRead, IFileSystem::OpenExisting);
  EXPECT_THROW(reading->write("x", 1, nullptr), CError);
  EXPECT_THROW(reading->setLength(0), CError);
  reading->close();
  P<IIOStream> writing =
      fs->openStream(at("file"), IIOStream::AccessWrite, IFileSystem::OpenExisting);
  EXPECT_THROW(writing->read(&byte, 1), CError);
  writing->close();
  writing->close();  // a second close does nothing
  EXPECT_EQ(ioCodeOfCall([&] { writing->read(&byte, 1); }), CIOError::StreamClosed);
  EXPECT_EQ(ioCodeOfCall([&] { writing->write("x", 1, nullptr); }), CIOError::StreamClosed);
  EXPECT_EQ(ioCodeOfCall([&] { writing->seek(0); }), CIOError::StreamClosed);
  EXPECT_EQ(ioCodeOfCall([&] { writing->getLength(); }), CIOError::StreamClosed);
  EXPECT_EQ(ioCodeOfCall([&] { writing->setLength(0); }), CIOError::StreamClosed);
  EXPECT_EQ(ioCodeOfCall([&] { writing->flush(); }), CIOError::StreamClosed);
  EXPECT_EQ(readFile(*fs, at("file")), textBytes("data"));
}

TEST_P(FileSystemConformance, StreamReadsExactlyOrReportsTheEnd) {
  const Bytes bytes = makeBytes(100, 4);
  writeFile(*fs, at("file"), bytes);
  P<IIOStream> stream =
      fs->openStream(at("file"), IIOStream::AccessRead, IFileSystem::OpenExisting);
  Bytes got(200);
  stream->read(got.data(), 60);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 60, got.begin()));
  EXPECT_FALSE(stream->isEndOfStream());
  // 40 bytes left: asking for 50 is EndOfStream.
  EXPECT_EQ(ioCodeOfCall([&] { stream->read(got.data(), 50); }), CIOError::EndOfStream);

  stream->seek(60);
  EXPECT_EQ(stream->readLax(got.data(), 50), 40);
  EXPECT_TRUE(std::equal(bytes.begin() + 60, bytes.end(), got.begin()));
  EXPECT_TRUE(stream->isEndOfStream());
  EXPECT_EQ(stream->readLax(got.data(), 10), 0);
  stream->seek(0);
  EXPECT_GE(stream->readAvailable(got.data(), 10), 1);
}

TEST_P(FileSystemConformance, StreamSeeksWithinTheFile) {
  writeFile(*fs, at("file"), textBytes("0123456789"));
  P<IIOStream> stream =
      fs->openStream(at("file"), IIOStream::AccessReadWrite, IFileSystem::OpenExisting);
  stream->seek(10);  // the end itself is a position
  EXPECT_EQ(stream->getPosition(), 10);
  EXPECT_EQ(ioCodeOfCall([&] { stream->seek(11); }), CIOError::InvalidPosition);
  EXPECT_EQ(ioCodeOfCall([&] { stream->seek(-1); }), CIOError::InvalidPosition);
  EXPECT_EQ(stream->getPosition(), 10);
  // Writing at the end appends; writing inside overwrites.
  stream->write("AB", 2, nullptr);
  stream->seek(3);
  stream->write("x", 1, nullptr);
  EXPECT_EQ(stream->getPosition(), 4);
  stream->close();
  EXPECT_EQ(readFile(*fs, at("file")), textBytes("012x456789AB"));
}

TEST_P(FileSystemConformance, SetLengthCutsAndExtends) {
  writeFile(*fs, at("file"), textBytes("0123456789"));
  P<IIOStream> stream =
      fs->openStream(at("file"), IIOStream::AccessReadWrite, IFileSystem::OpenExisting);
  stream->seek(8);
  stream->setLength(4);
  EXPECT_EQ(stream->getPosition(), 4);
  stream->setLength(7);
  stream->close();
  EXPECT_EQ(readFile(*fs, at("file")), (Bytes{'0', '1', '2', '3', 0, 0, 0}));
}

TEST_P(FileSystemConformance, WritesSurviveDroppingTheStream) {
  const Bytes bytes = makeBytes(3000, 5);
  {
    P<IIOStream> stream =
        fs->openStream(at("file"), IIOStream::AccessWrite, IFileSystem::CreateOrTruncate);
    auto buffer = make<TBuffer<unsigned char>>(bytes.data(), bytes.size());
    stream->writeKeepBuffer(TConstBufferSlice<unsigned char>(buffer, 0, 1000), nullptr);
    stream->write(bytes.data() + 1000, 2000, nullptr);
    P<IWriteBarrier> barrier = stream->createWriteBarrier(nullptr);
    EXPECT_TRUE(barrier->waitReached(kHangGuardMs));
    stream->flush();
    // No close: dropping the last reference closes.
  }
  EXPECT_EQ(readFile(*fs, at("file")), bytes);
}

TEST_P(FileSystemConformance, CreateFolderNeedsTheParentAndAcceptsExisting) {
  // Where a folder is only a name prefix, creating one always succeeds and leaves
  // nothing behind: only the successes below hold there.
  const bool realFolders = environment->hasRealFolders();
  EXPECT_TRUE(fs->createFolder(at("a"), 0x1ff));
  if (realFolders) {
    EXPECT_TRUE(fs->folderExists(at("a")));
    EXPECT_FALSE(fs->createFolder(at("a"), 0x1ff));
    EXPECT_EQ(problemOfCall([&] { fs->createFolder(at("missing/c"), 0x1ff); }), NotFound);
    EXPECT_FALSE(fs->exists(at("missing")));
    writeFile(*fs, at("file"), textBytes("x"));
    // A file is not an existing folder.
    EXPECT_EQ(problemOfCall([&] { fs->createFolder(at("file"), 0x1ff); }), AlreadyExists);
    EXPECT_EQ(problemOfCall([&] { fs->createFolder(at("file/c"), 0x1ff); }), NotFound);
  }

  // The asynchronous form reports an existing folder as AlreadyExists.
  auto create = [&](const char* location) {
    return runOperation(
        [&](IDoneListener* l) { return fs->createFolderAsync(at(location), 0x1ff, l); });
  };
  EXPECT_EQ(create("b")->getProblem(), Success);
  if (realFolders) {
    EXPECT_TRUE(fs->folderExists(at("b")));
    EXPECT_EQ(create("b")->getProblem(), AlreadyExists);
    EXPECT_EQ(create("missing/b")->getProblem(), NotFound);
    EXPECT_FALSE(fs->exists(at("missing")));
  }
}

TEST_P(FileSystemConformance, DeletesRemoveOrReportMissing) {
  writeFile(*fs, at("file"), textBytes("x"));
  fs->deleteFile(at("file"), false);
  EXPECT_FALSE(fs->exists(at("file")));
  EXPECT_EQ(problemOfCall([&] { fs->deleteFile(at("file"), false); }), NotFound);
  EXPECT_EQ(problemOfCall([&] { fs->deleteFile(at("missing/file"), true); }), Success);

  ASSERT_TRUE(fs->createFolder(at("folder"), 0x1ff));
  // A folder is not a file to delete (where a folder is a prefix, there is no such file).
  if (environment->hasRealFolders()) {
    EXPECT_NE(problemOfCall([&] { fs->deleteFile(at("folder"), true); }), Success);
  }
  writeFile(*fs, at("folder/file"), textBytes("x"));
  EXPECT_EQ(problemOfCall([&] { fs->deleteFolder(at("folder")); }), Other);  // not empty
  EXPECT_TRUE(fs->fileExists(at("folder/file")));

  // The asynchronous delete is idempotent.
  auto remove = [&](const char* location) {
    return runOperation([&](IDoneListener* l) { return fs->deleteAsync(at(location), l); });
  };
  EXPECT_EQ(remove("folder/file")->getProblem(), Success);
  EXPECT_FALSE(fs->exists(at("folder/file")));
  EXPECT_EQ(remove("folder/file")->getProblem(), Success);
  EXPECT_EQ(remove("missing/file")->getProblem(), Success);

  fs->deleteFolder(at("folder"));
  EXPECT_FALSE(fs->exists(at("folder")));
  if (environment->hasRealFolders()) {
    EXPECT_EQ(problemOfCall([&] { fs->deleteFolder(at("folder")); }), NotFound);
  }
}

TEST_P(FileSystemConformance, ListFolderNamesFilesAndFolders) {
  EXPECT_TRUE(fs->listFolder(root).empty());
  writeFile(*fs, at("file"), textBytes("x"));
  writeFile(*fs, at(".dotfile"), textBytes("x"));
  ASSERT_TRUE(fs->createFolder(at("sub"), 0x1ff));
  writeFile(*fs, at("sub/inner"), textBytes("x"));

  std::vector<std::string> names;
  for (const auto& entry : fs->listFolder(root)) {
    names.push_back(entry.name.toUTF8());
    EXPECT_EQ(entry.folder, entry.name == L"sub") << entry.name;
  }
  EXPECT_EQ(sorted(names), (std::vector<std::string>{".dotfile", "file", "sub"}));
  ASSERT_EQ(fs->listFolder(at("sub")).size(), 1u);
  EXPECT_EQ(fs->listFolder(at("sub"))[0].name, L"inner");
  if (environment->hasRealFolders()) {
    EXPECT_EQ(problemOfCall([&] { fs->listFolder(at("missing")); }), NotFound);
  } else {
    EXPECT_TRUE(fs->listFolder(at("missing")).empty());
  }
}

TEST_P(FileSystemConformance, LockExcludesOtherTakersUntilReleased) {
  const CURI lock = at("writer.lock");
  // Another file system object stands for another process.
  const P<IFileSystem> other = environment->makeFileSystem(1);
  P<IBase> first = fs->lockFile(lock, "first holder");
  for (IFileSystem* taker : {other.get(), fs.get()}) {
    try {
      taker->lockFile(lock, "second holder");
      ADD_FAILURE() << "a held lock was taken again";
    } catch (const CFileSystemError& e) {
      EXPECT_EQ(e.getProblem(), CFileSystemError::Locked);
      const String* holder = e.getProps().find("holder");
      ASSERT_NE(holder, nullptr);
      EXPECT_EQ(*holder, L"first holder");
    }
  }
  EXPECT_EQ(problemOfCall([&] { other->breakLock(lock, false); }), CFileSystemError::Locked);
  first = nullptr;
  EXPECT_NE(other->lockFile(lock, "second holder"), nullptr);
}

TEST_P(FileSystemConformance, LocksThatEndWithTheHolderCannotBeBroken) {
  const CURI lock = at("writer.lock");
  P<IBase> held = fs->lockFile(lock, "holder");
  const int problem = problemOfCall([&] { fs->breakLock(lock, true); });
  if ((fs->getCapabilities() & IFileSystem::LocksEndWithHolder) != 0) {
    EXPECT_EQ(problem, CFileSystemError::Locked);
    EXPECT_EQ(problemOfCall([&] { fs->lockFile(lock, "other"); }), CFileSystemError::Locked);
  } else {
    // Forced, the lock goes whatever its holder does.
    EXPECT_EQ(problem, Success);
    EXPECT_NE(fs->lockFile(lock, "other"), nullptr);
  }
}

TEST_P(FileSystemConformance, SyncKeepsWhatIsStoredAndNeedsTheFolder) {
  writeFile(*fs, at("file"), textBytes("kept"));
  ASSERT_TRUE(fs->createFolder(at("sub"), 0x1ff));
  writeFile(*fs, at("sub/inner"), textBytes("inner"));
  fs->sync(root);
  fs->sync(at("sub"));
  EXPECT_EQ(readFile(*fs, at("file")), textBytes("kept"));
  EXPECT_EQ(readFile(*fs, at("sub/inner")), textBytes("inner"));
  if (environment->hasRealFolders()) {
    EXPECT_EQ(problemOfCall([&] { fs->sync(at("missing")); }), NotFound);
  }
  // Capabilities belong to the kind of file system, not to one object of it.
  EXPECT_EQ(fs->getCapabilities(), environment->makeFileSystem(1)->getCapabilities());
}

// --- asynchronous operations ---

TEST_P(FileSystemConformance, MoveReplacesOnlyWhenAsked) {
  writeFile(*fs, at("source"), textBytes("source"));
  writeFile(*fs, at("taken"), textBytes("taken"));
  auto move = [&](const char* from, const char* to, int flags) {
    return runOperation(
        [&](IDoneListener* listener) { return fs->moveAsync(at(from), at(to), flags, listener); });
  };
  EXPECT_EQ(move("source", "taken", IFileSystem::MoveNoReplace)->getProblem(), AlreadyExists);
  EXPECT_EQ(readFile(*fs, at("source")), textBytes("source"));
  EXPECT_EQ(readFile(*fs, at("taken")), textBytes("taken"));

  EXPECT_EQ(move("missing", "target", IFileSystem::MoveNoReplace)->getProblem(), NotFound);
  EXPECT_FALSE(fs->exists(at("target")));
  if (environment->hasRealFolders()) {
    EXPECT_EQ(move("source", "no/folder/target", IFileSystem::MoveNoReplace)->getProblem(),
              NotFound);
  }

  ASSERT_TRUE(fs->createFolder(at("folder"), 0x1ff));
  EXPECT_EQ(move("source", "folder/moved", IFileSystem::MoveNoReplace)->getProblem(), Success);
  EXPECT_FALSE(fs->exists(at("source")));
  EXPECT_EQ(readFile(*fs, at("folder/moved")), textBytes("source"));
  EXPECT_EQ(rawNames("folder"), (std::vector<std::string>{"moved"}));

  // With replace, the target goes.
  EXPECT_EQ(move("folder/moved", "taken", IFileSystem::MoveReplace)->getProblem(), Success);
  EXPECT_EQ(readFile(*fs, at("taken")), textBytes("source"));
  EXPECT_EQ(move("folder/moved", "taken", IFileSystem::MoveReplace)->getProblem(), NotFound);
}

TEST_P(FileSystemConformance, StoreWritesTheWholeFile) {
  SCOPED_TRACE("seed 6");
  // Larger than any copy buffer, not a multiple of a power of two.
  const Bytes bytes = makeBytes(3 * 1024 * 1024 + 17, 6);
  EXPECT_EQ(store(*fs, at("big"), bytes, false)->getProblem(), Success);
  EXPECT_EQ(readFile(*fs, at("big")), bytes);
  EXPECT_EQ(store(*fs, at("empty"), Bytes(), false)->getProblem(), Success);
  EXPECT_EQ(fs->getFileInfo(at("empty"), IFileSystem::InfoSize)->getSize(), 0);

  // Only `length` bytes are taken from a longer source.
  const Bytes longer = makeBytes(100, 7);
  auto listener = runOperation([&](IDoneListener* l) {
    return fs->storeStreamAsync(at("part"), 60, streamOf(longer), false, l);
  });
  EXPECT_EQ(listener->getProblem(), Success);
  EXPECT_EQ(readFile(*fs, at("part")), Bytes(longer.begin(), longer.begin() + 60));
  EXPECT_EQ(rawNames(), (std::vector<std::string>{"big", "empty", "part"}));
}

TEST_P(FileSystemConformance, StoreReplacesOnlyWhenAskedAndNeedsTheFolder) {
  writeFile(*fs, at("file"), textBytes("original"));
  EXPECT_EQ(store(*fs, at("file"), textBytes("intruder"), false)->getProblem(), AlreadyExists);
  EXPECT_EQ(readFile(*fs, at("file")), textBytes("original"));
  EXPECT_EQ(store(*fs, at("file"), textBytes("new"), true)->getProblem(), Success);
  EXPECT_EQ(readFile(*fs, at("file")), textBytes("new"));

  if (environment->hasRealFolders()) {
    EXPECT_EQ(store(*fs, at("a/b/file"), textBytes("x"), false)->getProblem(), NotFound);
    EXPECT_EQ(store(*fs, at("file/below"), textBytes("x"), false)->getProblem(), NotFound);
  }
  EXPECT_EQ(rawNames(), (std::vector<std::string>{"file"}));
}

TEST_P(FileSystemConformance, StoreFromAShortOrFailingSourceLeavesNothing) {
  const Bytes bytes = makeBytes(2 * 1024 * 1024, 9);
  const std::vector<std::pair<const char*, std::function<void()>>> failures = {
      {"short", nullptr},
      {"CIOError", [] { throw CIOError(CIOError::Unknown, "the source broke"); }},
      {"std::runtime_error", [] { throw std::runtime_error("the source broke"); }},
      // Even a NotFound of the source must not read as a missing target folder.
      {"NotFound", [] { throw CFileSystemError(CFileSystemError::NotFound); }},
  };
  for (const auto& [name, fail] : failures) {
    SCOPED_TRACE(name);
    for (bool replace : {false, true}) {
      auto listener = runOperation([&](IDoneListener* l) {
        if (!fail) {
          return fs->storeStreamAsync(at("file"), static_cast<std::int64_t>(bytes.size()) + 1,
                                      streamOf(bytes), replace, l);
        }
        return fs->storeStreamAsync(at("file"), static_cast<std::int64_t>(bytes.size()),
                                    make<FailingStream>(bytes, bytes.size() / 2, fail), replace, l);
      });
      EXPECT_EQ(listener->getProblem(), Other);
      EXPECT_TRUE(rawNames().empty());
    }
  }
  // Over an existing file, which stays as it was.
  writeFile(*fs, at("file"), textBytes("before"));
  auto listener = runOperation([&](IDoneListener* l) {
    return fs->storeStreamAsync(at("file"), static_cast<std::int64_t>(bytes.size()),
                                make<FailingStream>(bytes, 10, failures[1].second), true, l);
  });
  EXPECT_EQ(listener->getProblem(), Other);
  EXPECT_EQ(readFile(*fs, at("file")), textBytes("before"));
  EXPECT_EQ(rawNames(), (std::vector<std::string>{"file"}));
}

// --- completion promises ---

TEST_P(FileSystemConformance, CompletionsNeverRunInsideTheStartingCall) {
  // One completion thread, and each step starts the next from inside the completion of
  // the one before: an inline completion would show up on that very thread.
  P<IFileSystem> single = environment->makeFileSystem(1);
  constexpr int kSteps = 40;
  std::vector<P<RecordingListener>> listeners(kSteps);
  CSignal finished;
  std::function<void(int)> startStep = [&](int step) {
    if (step == kSteps) {
      finished.set();
      return;
    }
    listeners[step] = make<RecordingListener>([&, step](const CError*) { startStep(step + 1); });
    const CURI file = at("file");
    startOperation([&]() -> P<IAsyncOperation> {
      switch (step % 4) {
        case 0:
          return single->storeStreamAsync(file, 3, streamOf(textBytes("abc")), false,
                                          listeners[step].get());
        case 1:
          return single->moveAsync(file, at("moved"), IFileSystem::MoveNoReplace,
                                   listeners[step].get());
        case 2:
          return single->deleteAsync(at("moved"), listeners[step].get());
        default:
          return single->createFolderAsync(at("folder"), 0x1ff, listeners[step].get());
      }
    });
  };
  startStep(0);
  ASSERT_TRUE(finished.wait(kHangGuardMs));
  single = nullptr;  // waits for the last listener to return
  for (int step = 0; step < kSteps; ++step) {
    SCOPED_TRACE(step);
    EXPECT_EQ(listeners[step]->getCalls(), 1);
    EXPECT_FALSE(listeners[step]->wasInline());
    EXPECT_NE(listeners[step]->getThread(), std::this_thread::get_id());
    // Steps of kind 3 after the first find the folder there (a folder that is only a
    // prefix is never there).
    const bool folderThere = step % 4 == 3 && step > 3 && environment->hasRealFolders();
    EXPECT_EQ(listeners[step]->getProblem(), folderThere ? AlreadyExists : Success);
  }
}

TEST_P(FileSystemConformance, ListenerIsKeptAliveUntilTold) {
  auto told = make<CSignal>();
  std::atomic<int> calls{0};
  {
    // The only reference the test had is gone before the operation ends.
    P<RecordingListener> listener = make<RecordingListener>([&, told](const CError*) {
      calls.fetch_add(1);
      told->set();
    });
    fs->storeStreamAsync(at("file"), 3, streamOf(textBytes("abc")), false, listener.get());
  }
  ASSERT_TRUE(told->wait(kHangGuardMs));
  fs = nullptr;  // all listeners have returned after this
  EXPECT_EQ(calls.load(), 1);
}

TEST_P(FileSystemConformance, ExceptionFromListenerIsLoggedAndTheThreadGoesOn) {
  LogCapture log;
  P<IFileSystem> single = environment->makeFileSystem(1);
  auto thrower =
      make<RecordingListener>([](const CError*) { throw std::runtime_error("listener failed"); });
  P<IAsyncOperation> first = single->deleteAsync(at("x"), thrower.get());
  ASSERT_TRUE(first->waitDone(kHangGuardMs));
  // The one thread is still there to run the next operation.
  auto next = runOperation([&](IDoneListener* l) { return single->deleteAsync(at("y"), l); });
  EXPECT_EQ(next->getProblem(), Success);
  EXPECT_EQ(thrower->getCalls(), 1);
  EXPECT_EQ(log.getLines().size(), 1u);
}

TEST_P(FileSystemConformance, DestructorFinishesQueuedOperations) {
  constexpr int kFiles = 200;
  P<IFileSystem> single = environment->makeFileSystem(1);
  std::vector<P<RecordingListener>> listeners;
  std::vector<P<IAsyncOperation>> operations;
  for (int i = 0; i < kFiles; ++i) {
    listeners.push_back(make<RecordingListener>());
    const Bytes bytes = makeBytes(100 + i, 100 + i);
    operations.push_back(single->storeStreamAsync(at(std::to_string(i).c_str()),
                                                  static_cast<std::int64_t>(bytes.size()),
                                                  streamOf(bytes), false, listeners.back().get()));
  }
  single = nullptr;  // most of them are still queued here
  for (int i = 0; i < kFiles; ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(operations[i]->isDone());
    EXPECT_EQ(listeners[i]->getCalls(), 1);
    EXPECT_EQ(listeners[i]->getProblem(), Success);
  }
  EXPECT_EQ(rawNames().size(), static_cast<std::size_t>(kFiles));
  EXPECT_EQ(readFile(*fs, at("123")), makeBytes(223, 223));
}

// --- concurrency ---

namespace {

// Two stores without replace, of different contents, started at once from two threads
// on one target; checks that exactly one wins and the file is all the winner's.
void raceStores(IFileSystem& first, IFileSystem& second, const CURI& target, int round) {
  const Bytes payloads[2] = {makeBytes(1000 + round, 2 * round), makeBytes(700, 2 * round + 1)};
  P<RecordingListener> listeners[2] = {make<RecordingListener>(), make<RecordingListener>()};
  P<IAsyncOperation> operations[2];
  IFileSystem* systems[2] = {&first, &second};
  std::latch start(2);
  std::thread threads[2];
  for (int i = 0; i < 2; ++i) {
    threads[i] = std::thread([&, i] {
      start.arrive_and_wait();
      operations[i] =
          systems[i]->storeStreamAsync(target, static_cast<std::int64_t>(payloads[i].size()),
                                       streamOf(payloads[i]), false, listeners[i].get());
    });
  }
  for (auto& thread : threads)
    thread.join();
  for (auto& operation : operations)
    ASSERT_TRUE(operation->waitDone(kHangGuardMs));
  const int problems[2] = {listeners[0]->getProblem(), listeners[1]->getProblem()};
  ASSERT_TRUE((problems[0] == Success && problems[1] == AlreadyExists) ||
              (problems[1] == Success && problems[0] == AlreadyExists))
      << "round " << round << ": " << problems[0] << " " << problems[1];
  EXPECT_EQ(readFile(first, target), payloads[problems[0] == Success ? 0 : 1]) << "round " << round;
}

}  // namespace

// Through one file system object, and through two on the same storage.
TEST_P(FileSystemConformance, RacingStoresWithoutReplaceHaveOneWinner) {
  if ((fs->getCapabilities() & IFileSystem::AtomicNoReplaceStore) == 0) {
    GTEST_SKIP() << "stores without replace are not atomic here";
  }
  P<IFileSystem> other = environment->makeFileSystem(1);
  constexpr int kRounds = 100;
  for (int round = 0; round < kRounds; ++round) {
    raceStores(*fs, round % 2 == 0 ? *fs : *other, at(("target" + std::to_string(round)).c_str()),
               round);
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(rawNames().size(), static_cast<std::size_t>(kRounds));
}

TEST_P(FileSystemConformance, RacingMovesWithoutReplaceHaveOneWinner) {
  if ((fs->getCapabilities() & IFileSystem::AtomicMove) == 0) {
    GTEST_SKIP() << "moves here look at the target before they copy: racing moves can both "
                    "succeed";
  }
  constexpr int kRounds = 100;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    const CURI sources[2] = {at(("a" + std::to_string(round)).c_str()),
                             at(("b" + std::to_string(round)).c_str())};
    writeFile(*fs, sources[0], textBytes("from a"));
    writeFile(*fs, sources[1], textBytes("from b"));
    const CURI target = at(("t" + std::to_string(round)).c_str());
    P<RecordingListener> listeners[2] = {make<RecordingListener>(), make<RecordingListener>()};
    P<IAsyncOperation> operations[2];
    std::latch start(2);
    std::thread threads[2];
    for (int i = 0; i < 2; ++i) {
      threads[i] = std::thread([&, i] {
        start.arrive_and_wait();
        operations[i] =
            fs->moveAsync(sources[i], target, IFileSystem::MoveNoReplace, listeners[i].get());
      });
    }
    for (auto& thread : threads)
      thread.join();
    for (auto& operation : operations)
      ASSERT_TRUE(operation->waitDone(kHangGuardMs));
    const int winner = listeners[0]->getProblem() == Success ? 0 : 1;
    ASSERT_EQ(listeners[winner]->getProblem(), Success);
    ASSERT_EQ(listeners[1 - winner]->getProblem(), AlreadyExists);
    EXPECT_EQ(readFile(*fs, target), textBytes(winner == 0 ? "from a" : "from b"));
    EXPECT_FALSE(fs->exists(sources[winner]));
    EXPECT_TRUE(fs->exists(sources[1 - winner]));
  }
}

TEST_P(FileSystemConformance, HundredsOfConcurrentOperationsAllComplete) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 75;
  ASSERT_TRUE(fs->createFolder(at("moved"), 0x1ff));
  std::vector<P<RecordingListener>> listeners[kThreads];
  std::vector<P<IAsyncOperation>> operations[kThreads];
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < kPerThread; ++i) {
        const std::string name = std::to_string(t) + "-" + std::to_string(i);
        // Store, then from its completion move it into the folder; and a folder.
        auto moveListener = make<RecordingListener>();
        auto storeListener = make<RecordingListener>([&, name, moveListener](const CError* error) {
          if (error == nullptr) {
            fs->moveAsync(at(name.c_str()), at(("moved/" + name).c_str()),
                          IFileSystem::MoveNoReplace, moveListener.get());
          }
        });
        const Bytes bytes = textBytes(name);
        operations[t].push_back(fs->storeStreamAsync(at(name.c_str()),
                                                     static_cast<std::int64_t>(bytes.size()),
                                                     streamOf(bytes), false, storeListener.get()));
        auto folderListener = make<RecordingListener>();
        operations[t].push_back(
            fs->createFolderAsync(at(("folder-" + name).c_str()), 0x1ff, folderListener.get()));
        listeners[t].insert(listeners[t].end(), {storeListener, moveListener, folderListener});
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  for (int t = 0; t < kThreads; ++t) {
    for (auto& operation : operations[t])
      ASSERT_TRUE(operation->waitDone(kHangGuardMs));
    // The moves were started inside the store completions; wait for them too.
    for (auto& listener : listeners[t])
      ASSERT_TRUE(listener->waitTold());
  }
  for (int t = 0; t < kThreads; ++t) {
    for (auto& listener : listeners[t]) {
      EXPECT_EQ(listener->getCalls(), 1);
      EXPECT_EQ(listener->getProblem(), Success);
      EXPECT_FALSE(listener->wasInline());
    }
  }
  EXPECT_EQ(rawNames("moved").size(), static_cast<std::size_t>(kThreads * kPerThread));
  // "moved" and the empty folders, which exist only where folders are real.
  const int folders = environment->hasRealFolders() ? kThreads * kPerThread : 0;
  EXPECT_EQ(rawNames().size(), static_cast<std::size_t>(folders + 1));
  EXPECT_EQ(readFile(*fs, at("moved/2-41")), textBytes("2-41"));
}

}  // namespace fleck_test
