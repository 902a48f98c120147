#include "FsTestSupport.h"

#include <algorithm>
#include <array>
#include <latch>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>

#include "zel/CFileInfo.h"
#include "zel/Log.h"
#include "zel/TConstBufferSlice.h"

using namespace zel;

namespace fleck::test {
namespace {

constexpr int NotFound = CFileSystemError::NotFound;
constexpr int AlreadyExists = CFileSystemError::AlreadyExists;
constexpr int Other = CFileSystemError::Other;

// What the contract says a file system holds: files by relative path and, where folders
// are real, folders ("" is the root).
struct Model {
  enum Kind { None, File, Folder };
  explicit Model(bool realFolders) : real(realFolders) {}
  const bool real;
  std::map<std::string, Bytes> files;
  std::set<std::string> folders{""};

  Kind kind(const std::string& path) const {
    if (files.count(path) != 0) return File;
    if (real || path.empty()) return folders.count(path) != 0 || path.empty() ? Folder : None;
    const auto below = files.lower_bound(path + "/");
    return below != files.end() && below->first.starts_with(path + "/") ? Folder : None;
  }
  bool canCreate(const std::string& path) const {
    const auto slash = path.rfind('/');
    return !real || kind(slash == std::string::npos ? "" : path.substr(0, slash)) == Folder;
  }
  // "name" for a file, "name/" for a folder; sorted.
  std::vector<std::string> list(const std::string& folder, bool mark = true) const {
    const std::string prefix = folder.empty() ? "" : folder + "/";
    std::set<std::string> names;
    auto add = [&](const std::string& path, bool isFolder) {
      if (path.empty() || !path.starts_with(prefix)) return;
      const std::string rest = path.substr(prefix.size());
      const auto slash = rest.find('/');
      const std::string end = mark ? "/" : "";
      if (slash == std::string::npos) names.insert(rest + (isFolder ? end : ""));
      if (slash != std::string::npos && !real) names.insert(rest.substr(0, slash) + end);
    };
    for (const auto& [path, bytes] : files)
      add(path, false);
    for (const auto& path : folders)
      add(path, true);
    return {names.begin(), names.end()};
  }
};

}  // namespace

// Random operations on a few names, each checked against the model: the result code
// of every call (the same failure for the same state everywhere), contents, listings,
// and at the end that no temporary file is left. One name needs escaping everywhere.
TEST_P(FileSystemConformance, OperationsMatchAModelOfFilesAndFolders) {
  const unsigned seed = seedFromEnvironment(4711);
  SCOPED_TRACE("seed " + std::to_string(seed) + " (FLECK_TEST_SEED repeats it)");
  std::mt19937 random(seed);
  auto async = [](const StartFunction& start) { return runOperation(start)->getProblem(); };
  Model model(environment->hasRealFolders());
  // Where folders are name prefixes, file and folder names stay apart; where they are
  // real, "a", "a/x" and "d/e" may be either, and "b/x" lies below a file or nothing.
  std::vector<std::string> files = {"a", "b", "b c+d=e&f~%g\xc3\xa9\xe4\xb8\xad", "d/a", "d/e/a"};
  std::vector<std::string> folders = {"", "d", "d/e"};
  if (model.real) {
    files.insert(files.end(), {"d/e", "a/x", "b/x"});
    folders.insert(folders.end(), {"a", "a/x"});
  }
  ASSERT_TRUE(fs->createFolder(at("d"), 0x1ff));
  if (model.real) model.folders.insert("d");
  for (int step = 0; step < 400 && !HasFatalFailure(); ++step) {
    // Fewer deletions than creations, so that the names fill up.
    const int op = std::array{0, 0, 1, 2, 3, 3, 3, 4, 4, 5, 6, 7, 8, 9, 8}[random() % 15];
    const int variant = static_cast<int>(random() % 3);
    const auto& names = op < 3 ? folders : files;
    const std::string path = names[random() % names.size()];
    const std::string target = files[random() % files.size()];
    const Model::Kind kind = model.kind(path);
    const Bytes bytes = makeBytes(random() % 4 == 0 ? 0 : random() % 9000, random());
    SCOPED_TRACE("step " + std::to_string(step) + ", op " + std::to_string(op) + "/" +
                 std::to_string(variant) + " on '" + path + "' and '" + target + "'");
    const CURI location = at(path);
    const int creatable = kind == Model::Folder   ? Other
                          : model.canCreate(path) ? kSuccess
                                                  : NotFound;
    std::optional<int> expected;  // unset: not defined for this state, no check
    int got = kSuccess;
    switch (op) {
      case 0: {  // create a folder: the synchronous form accepts an existing folder
        if (path.empty()) break;
        const bool sync = variant == 0;
        expected = !model.real              ? kSuccess
                   : kind == Model::File    ? AlreadyExists
                   : kind == Model::Folder  ? (sync ? kSuccess : AlreadyExists)
                   : !model.canCreate(path) ? NotFound
                                            : kSuccess;
        bool made = false;
        got = sync ? problemOfCall([&] { made = fs->createFolder(location, 0x1ff); })
                   : async([&](IDoneListener* l) {
                       return fs->createFolderAsync(location, 0x1ff, l);
                     });
        EXPECT_TRUE(!sync || got != kSuccess || made == (!model.real || kind == Model::None));
        if (got == kSuccess && model.real) model.folders.insert(path);
        break;
      }
      case 1:  // only an empty folder goes
        if (path.empty()) break;
        expected = !model.list(path).empty()              ? Other
                   : kind == Model::Folder || !model.real ? kSuccess
                                                          : NotFound;
        got = problemOfCall([&] { fs->deleteFolder(location); });
        if (got == kSuccess) model.folders.erase(path);
        break;
      case 2:
        expected = kind == Model::Folder || !model.real ? kSuccess : NotFound;
        got = problemOfCall([&] {
          std::vector<std::string> names;
          for (const auto& entry : fs->listFolder(location))
            names.push_back(entry.name.toUTF8() + (entry.folder ? "/" : ""));
          std::sort(names.begin(), names.end());
          EXPECT_EQ(names, model.list(path));
        });
        break;
      case 3: {  // CreateOrTruncate, CreateNew, OpenOrCreate (which keeps the rest)
        const int mode = std::array{IFileSystem::CreateOrTruncate, IFileSystem::CreateNew,
                                    IFileSystem::OpenOrCreate}[variant];
        expected =
            mode == IFileSystem::CreateNew && kind != Model::None ? AlreadyExists : creatable;
        got = problemOfCall([&] { writeFile(*fs, location, bytes, mode); });
        if (got != kSuccess) break;
        Bytes& now = model.files[path];
        if (mode != IFileSystem::OpenOrCreate) now.clear();
        now.resize(std::max(now.size(), bytes.size()));
        std::copy(bytes.begin(), bytes.end(), now.begin());
        break;
      }
      case 4: {
        expected = kind == Model::File ? kSuccess : kind == Model::Folder ? Other : NotFound;
        Bytes read;
        got = problemOfCall([&] { read = readFile(*fs, location); });
        EXPECT_TRUE(got != kSuccess || read == model.files[path]);
        P<CFileInfo> info;
        EXPECT_EQ(problemOfCall([&] { info = fs->getFileInfo(location, IFileSystem::InfoSize); }),
                  kind == Model::None ? NotFound : kSuccess);
        EXPECT_TRUE(kind != Model::File || info->getSize() == std::ssize(model.files[path]));
        EXPECT_EQ(fs->exists(location), kind != Model::None);
        EXPECT_EQ(fs->fileExists(location), kind == Model::File);
        EXPECT_EQ(fs->folderExists(location), kind == Model::Folder);
        break;
      }
      case 5:  // deleteFile, with ignoreMissing, deleteAsync (for which missing is deleted)
        if (variant == 2 && kind == Model::Folder) break;
        expected = kind == Model::Folder                 ? kOtherError
                   : kind == Model::None && variant == 0 ? NotFound
                                                         : kSuccess;
        got = variant == 2 ? async([&](IDoneListener* l) { return fs->deleteAsync(location, l); })
                           : problemOfCall([&] { fs->deleteFile(location, variant == 1); });
        if (kind == Model::Folder && got != kSuccess) got = kOtherError;  // any failure
        if (got == kSuccess) model.files.erase(path);
        break;
      case 6:
      case 7: {  // a move: nothing is overwritten without replace
        const Model::Kind targetKind = model.kind(target);
        if (path == target || kind == Model::Folder || targetKind == Model::Folder) break;
        const bool taken = targetKind == Model::File && variant != 0;
        expected = kind == Model::None || !model.canCreate(target) ? NotFound
                   : taken                                         ? AlreadyExists
                                                                   : kSuccess;
        got = async(
            [&](IDoneListener* l) { return fs->moveAsync(location, at(target), variant == 0, l); });
        // A missing source and a taken target: either may be told.
        if (kind == Model::None && taken && got == AlreadyExists) got = NotFound;
        if (got != kSuccess) break;
        model.files[target] = model.files[path];
        model.files.erase(path);
        break;
      }
      default:  // a store: an existing file is replaced only when asked
        if (kind == Model::Folder) break;
        expected = kind == Model::File && variant != 0 ? AlreadyExists : creatable;
        got = store(*fs, location, bytes, variant == 0);
        if (got == kSuccess) model.files[path] = bytes;
        break;
    }
    ASSERT_EQ(got, expected.value_or(got));
  }

  // All as the model has it, after a sync, and no temporary file anywhere.
  fs->sync(root);
  for (const auto& [path, bytes] : model.files)
    EXPECT_TRUE(readFile(*fs, at(path)) == bytes) << path;
  for (const std::string& folder : folders) {
    if (model.kind(folder) != Model::Folder) continue;
    EXPECT_EQ(rawNames(folder), model.list(folder, false)) << "in '" << folder << "'";
  }
  if (model.real) {
    EXPECT_EQ(problemOfCall([&] { fs->sync(at("missing")); }), NotFound);
  }
  // Capabilities belong to the kind of file system, not to one object of it.
  EXPECT_EQ(fs->getCapabilities(), environment->makeFileSystem(1)->getCapabilities());
}

TEST_P(FileSystemConformance, StreamsReadSeekWriteAndCutWithinTheirAccess) {
  constexpr int kSize = 150000;  // more than two read windows of any file system
  const Bytes bytes = makeBytes(kSize, 4);
  writeFile(*fs, at("file"), bytes);
  Bytes got(bytes.size());
  P<IIOStream> in = fs->openStream(at("file"), IIOStream::AccessRead,
                                   IFileSystem::OpenExisting | IFileSystem::OpenRegularOnly);
  in->seek(130000);  // across a window's end, then back
  in->read(got.data(), 2000);
  in->seek(30);
  in->read(got.data() + 2000, 10);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + 2000, bytes.begin() + 130000));
  EXPECT_TRUE(std::equal(got.begin() + 2000, got.begin() + 2010, bytes.begin() + 30));
  // 60 bytes left: asking for 70 is EndOfStream, a lax read gives the 60.
  in->seek(kSize - 60);
  EXPECT_EQ(problemOfCall([&] { in->read(got.data(), 70); }), kIOError + CIOError::EndOfStream);
  in->seek(kSize - 60);
  EXPECT_FALSE(in->isEndOfStream());
  EXPECT_EQ(in->readLax(got.data(), 70), 60);
  EXPECT_TRUE(std::equal(bytes.end() - 60, bytes.end(), got.begin()));
  EXPECT_TRUE(in->isEndOfStream());
  EXPECT_EQ(in->readLax(got.data(), 10), 0);
  EXPECT_NE(problemOfCall([&] { in->write("x", 1, nullptr); }), kSuccess);
  EXPECT_NE(problemOfCall([&] { in->setLength(0); }), kSuccess);
  in = nullptr;

  P<IIOStream> out = fs->openStream(at("file"), IIOStream::AccessWrite, IFileSystem::OpenExisting);
  EXPECT_NE(problemOfCall([&] { out->read(got.data(), 1); }), kSuccess);
  out->seek(kSize);  // the end itself is a position
  for (std::int64_t position : {std::int64_t{-1}, std::int64_t{kSize + 1}}) {
    EXPECT_EQ(problemOfCall([&] { out->seek(position); }), kIOError + CIOError::InvalidPosition);
  }
  out->write("AB", 2, nullptr);  // appends
  out->seek(3);
  out->write("x", 1, nullptr);
  EXPECT_EQ(out->getPosition(), 4);
  out->seek(kSize + 2);
  out->setLength(90);
  EXPECT_EQ(out->getPosition(), 90);
  out->setLength(95);
  out->close();
  out->close();  // a second close does nothing
  for (const std::function<void()>& call :
       {std::function<void()>([&] { out->read(got.data(), 1); }),
        std::function<void()>([&] { out->write("x", 1, nullptr); }),
        std::function<void()>([&] { out->seek(0); }),
        std::function<void()>([&] { out->flush(); })}) {
    EXPECT_EQ(problemOfCall(call), kIOError + CIOError::StreamClosed);
  }
  Bytes expected(bytes.begin(), bytes.begin() + 90);
  expected[3] = 'x';
  expected.resize(95, 0);
  EXPECT_EQ(readFile(*fs, at("file")), expected);

  // What was written reaches the file when the last reference goes, without close.
  out = fs->openStream(at("dropped"), IIOStream::AccessWrite, IFileSystem::CreateOrTruncate);
  out->writeKeepBuffer(
      TConstBufferSlice<unsigned char>(make<TBuffer<unsigned char>>(bytes.data(), 1000), 0, 1000),
      nullptr);
  out->write(bytes.data() + 1000, kSize - 1000, nullptr);
  EXPECT_TRUE(out->createWriteBarrier(nullptr)->waitReached(kHangGuardMs));
  out = nullptr;
  EXPECT_EQ(readFile(*fs, at("dropped")), bytes);
  if (environment->hasRealFolders()) {
    ASSERT_TRUE(fs->createFolder(at("folder"), 0x1ff));
    EXPECT_EQ(problemOfCall([&] {
                fs->openStream(at("folder"), IIOStream::AccessRead, IFileSystem::OpenRegularOnly);
              }),
              CFileSystemError::NotRegular);
  }
}

// Stores are all or nothing: a source that is short or fails half way leaves nothing
// new and an existing target as it was (a NotFound of the source must not read as a
// missing folder). Only `length` bytes are taken from a longer source.
TEST_P(FileSystemConformance, StoreIsAllOrNothing) {
  const Bytes big = makeBytes(3 * 1024 * 1024 + 17, 6);  // beyond any copy buffer
  EXPECT_EQ(store(*fs, at("big"), big, false), kSuccess);
  EXPECT_EQ(readFile(*fs, at("big")), big);
  EXPECT_EQ(runOperation([&](IDoneListener* l) {
              return fs->storeStreamAsync(at("part"), 60, streamOf(big), false, l);
            })->getProblem(),
            kSuccess);
  EXPECT_EQ(readFile(*fs, at("part")), Bytes(big.begin(), big.begin() + 60));
  writeFile(*fs, at("kept"), textBytes("before"));
  const std::function<void()> failures[] = {
      nullptr, [] { throw CIOError(CIOError::Unknown, "the source broke"); },
      [] { throw std::runtime_error("the source broke"); },
      [] { throw CFileSystemError(CFileSystemError::NotFound); }};
  for (const auto& fail : failures) {
    for (const auto& [target, replace] :
         {std::pair{"new", false}, std::pair{"new", true}, std::pair{"kept", true}}) {
      SCOPED_TRACE(std::string(target) + (fail ? " failing " : " short ") +
                   std::to_string(replace));
      EXPECT_EQ(runOperation([&](IDoneListener* l) {
                  return fs->storeStreamAsync(
                      at(target), std::ssize(big) + (fail ? 0 : 1),
                      make<SourceStream>(big, fail ? big.size() / 2 : SIZE_MAX, fail), replace, l);
                })->getProblem(),
                Other);
      EXPECT_EQ(rawNames(), (std::vector<std::string>{"big", "kept", "part"}));
    }
  }
  EXPECT_EQ(readFile(*fs, at("kept")), textBytes("before"));
}

TEST_P(FileSystemConformance, LockExcludesOtherTakersUntilReleased) {
  const CURI lock = at("writer.lock");
  const bool endsWithHolder = (fs->getCapabilities() & IFileSystem::LocksEndWithHolder) != 0;
  const P<IFileSystem> other = environment->makeFileSystem(1);  // another process
  P<IBase> first = fs->lockFile(lock, "first holder");
  for (IFileSystem* taker : {other.get(), fs.get()}) {
    try {
      taker->lockFile(lock, "second holder");
      ADD_FAILURE() << "a held lock was taken again";
    } catch (const CFileSystemError& e) {
      EXPECT_EQ(e.getProblem(), CFileSystemError::Locked);
      EXPECT_EQ(e.getProps().lookup("holder"), L"first holder");
    }
  }
  EXPECT_EQ(problemOfCall([&] { other->breakLock(lock, false); }), CFileSystemError::Locked);
  // A lock that ends with its holder is never broken, not even forced; others are.
  EXPECT_EQ(problemOfCall([&] { other->breakLock(lock, true); }),
            endsWithHolder ? CFileSystemError::Locked : kSuccess);
  if (endsWithHolder) first = nullptr;
  P<IBase> second = other->lockFile(lock, "second holder");
}

// The destructor finishes what is queued, also when it runs on the file system's own
// completion thread (a listener dropped the last reference); listeners that only the
// file system holds live until told.
TEST_P(FileSystemConformance, DestructorFinishesQueuedOperations) {
  constexpr int kFiles = 200;
  for (bool fromCompletion : {false, true}) {
    SCOPED_TRACE(fromCompletion ? "dropped in a completion" : "dropped by the test");
    P<IFileSystem> single = environment->makeFileSystem(1);
    P<IFileSystem> held = single;
    CSignal ownerGone, released;
    auto dropper = make<RecordingListener>([&](const CError*) {
      if (!fromCompletion) return;
      EXPECT_TRUE(ownerGone.wait(kHangGuardMs));
      held = nullptr;
      released.set();
    });
    single->deleteAsync(at("nothing"), dropper.get());
    std::atomic<int> told{0};
    for (int i = 0; i < kFiles; ++i) {
      const Bytes bytes = makeBytes(100 + i, 100 + i);
      single->storeStreamAsync(
          at((fromCompletion ? "c" : "t") + std::to_string(i)), std::ssize(bytes), streamOf(bytes),
          false, make<RecordingListener>([&](const CError* e) { told += e == nullptr; }).get());
    }
    single = nullptr;
    ownerGone.set();
    ASSERT_TRUE(!fromCompletion || released.wait(kHangGuardMs));
    held = nullptr;  // when dropped by the test, most are still queued here
    EXPECT_EQ(told.load(), kFiles);
  }
  EXPECT_EQ(rawNames().size(), std::size_t{2 * kFiles});
  EXPECT_EQ(readFile(*fs, at("c123")), makeBytes(223, 223));
}

// --- concurrency ---

// Racing stores (through one file system object and through two) and moves without
// replace: exactly one wins, and the target is all the winner's.
TEST_P(FileSystemConformance, RacingStoresAndMovesWithoutReplaceHaveOneWinner) {
  const int capabilities = fs->getCapabilities();
  P<IFileSystem> other = environment->makeFileSystem(1);
  auto race = [&](const StartFunction& first, const StartFunction& second) {
    P<RecordingListener> listeners[2] = {make<RecordingListener>(), make<RecordingListener>()};
    std::latch go(2);
    std::thread thread([&] {
      go.arrive_and_wait();
      first(listeners[0].get());
    });
    go.arrive_and_wait();
    second(listeners[1].get());
    thread.join();
    EXPECT_TRUE(listeners[0]->waitTold() && listeners[1]->waitTold());
    const int winner = listeners[0]->getProblem() == kSuccess ? 0 : 1;
    EXPECT_EQ(listeners[1 - winner]->getProblem(), AlreadyExists);
    return winner;
  };
  for (int round = 0; round < 100 && !HasFailure(); ++round) {
    const std::string n = std::to_string(round);
    if ((capabilities & IFileSystem::AtomicNoReplaceStore) != 0) {
      const Bytes data[2] = {makeBytes(1000 + round, 2 * round), makeBytes(700, 2 * round + 1)};
      IFileSystem& second = round % 2 == 0 ? *fs : *other;
      const int winner = race(
          [&](IDoneListener* l) {
            return fs->storeStreamAsync(at(n), 1000 + round, streamOf(data[0]), false, l);
          },
          [&](IDoneListener* l) {
            return second.storeStreamAsync(at(n), 700, streamOf(data[1]), false, l);
          });
      EXPECT_EQ(readFile(*fs, at(n)), data[winner]) << round;
    }
    if ((capabilities & IFileSystem::AtomicMove) != 0) {
      writeFile(*fs, at("a" + n), textBytes("from a"));
      writeFile(*fs, at("b" + n), textBytes("from b"));
      const int winner =
          race([&](IDoneListener* l) { return fs->moveAsync(at("a" + n), at("t" + n), 0, l); },
               [&](IDoneListener* l) { return fs->moveAsync(at("b" + n), at("t" + n), 0, l); });
      EXPECT_EQ(readFile(*fs, at("t" + n)), textBytes(winner == 0 ? "from a" : "from b")) << round;
      EXPECT_NE(fs->exists(at("a" + n)), fs->exists(at("b" + n))) << round;
    }
  }
}

// Stores from four threads, each moved into a folder from its completion, and folders:
// every listener told once, never inside the starting call. One listener throws, which
// is logged, and the completion threads go on.
TEST_P(FileSystemConformance, HundredsOfConcurrentOperationsAllComplete) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 75;
  std::atomic<int> logged{0};
  const LogSink previous =
      setLogSink([&](const String&, const std::exception&, const String&) { ++logged; });
  ASSERT_TRUE(fs->createFolder(at("moved"), 0x1ff));
  std::vector<P<RecordingListener>> listeners[kThreads];
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < kPerThread; ++i) {
        const std::string name = std::to_string(t) + "-" + std::to_string(i);
        auto moved = make<RecordingListener>();
        auto stored = make<RecordingListener>([&, name, moved](const CError* error) {
          if (error != nullptr) return;
          startOperation(
              [&](IDoneListener* l) { return fs->moveAsync(at(name), at("moved/" + name), 0, l); },
              moved.get());
          if (name == "2-7") throw std::runtime_error("listener failed");
        });
        auto folder = make<RecordingListener>();
        startOperation(
            [&](IDoneListener* l) {
              return fs->storeStreamAsync(at(name), std::ssize(name), streamOf(textBytes(name)),
                                          false, l);
            },
            stored.get());
        startOperation(
            [&](IDoneListener* l) { return fs->createFolderAsync(at("folder-" + name), 0x1ff, l); },
            folder.get());
        listeners[t].insert(listeners[t].end(), {stored, moved, folder});
      }
    });
  }
  for (int t = 0; t < kThreads; ++t) {
    threads[t].join();
    for (auto& listener : listeners[t]) {
      ASSERT_TRUE(listener->waitTold());
      EXPECT_EQ(listener->getCalls(), 1);
      EXPECT_EQ(listener->getProblem(), kSuccess);
      EXPECT_FALSE(listener->wasInline());
    }
  }
  fs = nullptr;  // waits for the listeners to return
  fs = environment->makeFileSystem(1);
  setLogSink(previous);
  EXPECT_EQ(logged.load(), 1);
  EXPECT_EQ(rawNames("moved").size(), std::size_t{kThreads * kPerThread});
  // "moved" and the empty folders, which exist only where folders are real.
  const int folders = environment->hasRealFolders() ? kThreads * kPerThread : 0;
  EXPECT_EQ(rawNames().size(), static_cast<std::size_t>(folders + 1));
  EXPECT_EQ(readFile(*fs, at("moved/2-41")), textBytes("2-41"));
}

}  // namespace fleck::test
