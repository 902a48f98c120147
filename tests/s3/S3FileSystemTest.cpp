// What the S3 file system adds to the shared contract: atomic conditional stores under
// contention, many operations in flight, the state a crashed move leaves, and how HTTP
// failures become file-system errors.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "FsTestSupport.h"
#include "S3TestEnvironment.h"
#include "s3/CS3FileSystem.h"
#include "s3/CS3Lock.h"
#include "zel/CFileSystemError.h"

namespace fleck_test {
namespace {

using zel::CFileSystemError;
using zel::CURI;
using zel::IFileSystem;
using zel::P;

class S3FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!gatewayReady()) return;
    fs = zel::make<s3::CS3FileSystem>(gatewayOptions(4));
    root = freshFolder();
  }

  CURI at(const char* relative) const { return root << CURI(relative); }

  zel::P<RecordingListener> store(const CURI& target, const Bytes& bytes, bool replace) {
    return runOperation([&](zel::IDoneListener* listener) {
      return fs->storeStreamAsync(target, static_cast<std::int64_t>(bytes.size()), streamOf(bytes),
                                  replace, listener);
    });
  }

  // The value of a property of the error or of its causes, or empty text.
  static std::string property(const zel::CError& error, const char* key) {
    for (const zel::CError* e = &error; e != nullptr; e = e->getCause()) {
      if (const zel::String* value = e->getProps().find(key)) return value->toUTF8();
    }
    return std::string();
  }

  P<s3::CS3FileSystem> fs;
  CURI root;
};

TEST_F(S3FileSystemTest, EightRacingConditionalStoresHaveExactlyOneWinner) {
  if (fs == nullptr) return;
  constexpr int kWriters = 8;
  for (int round = 0; round < 5; ++round) {
    const CURI target = at(("race-" + std::to_string(round)).c_str());
    // Separate file system objects: separate connections, as separate processes.
    std::vector<P<s3::CS3FileSystem>> systems;
    std::vector<Bytes> contents;
    std::vector<P<RecordingListener>> listeners;
    std::vector<P<zel::IAsyncOperation>> operations;
    for (int i = 0; i < kWriters; ++i) {
      systems.push_back(zel::make<s3::CS3FileSystem>(gatewayOptions(1)));
      contents.push_back(makeBytes(1000 + static_cast<std::size_t>(i), 100u + i));
      listeners.push_back(zel::make<RecordingListener>());
    }
    for (int i = 0; i < kWriters; ++i) {
      operations.push_back(systems[i]->storeStreamAsync(
          target, static_cast<std::int64_t>(contents[i].size()), streamOf(contents[i]),
          /*replace=*/false, listeners[i].get()));
    }
    int winner = -1;
    for (int i = 0; i < kWriters; ++i) {
      ASSERT_TRUE(listeners[i]->waitTold());
      if (listeners[i]->getProblem() == -1) {
        EXPECT_EQ(winner, -1) << "two stores won round " << round;
        winner = i;
      } else {
        EXPECT_EQ(listeners[i]->getProblem(), CFileSystemError::AlreadyExists);
      }
    }
    ASSERT_NE(winner, -1) << "no store won round " << round;
    EXPECT_EQ(readFile(*fs, target), contents[winner]);
  }
}

TEST_F(S3FileSystemTest, HundredsOfOperationsInFlightAllCompleteOnce) {
  if (fs == nullptr) return;
  constexpr int kFiles = 150;
  std::vector<P<RecordingListener>> listeners;
  std::vector<P<zel::IAsyncOperation>> operations;
  auto startAll =
      [&](const std::function<P<zel::IAsyncOperation>(int, zel::IDoneListener*)>& start) {
        listeners.clear();
        operations.clear();
        for (int i = 0; i < kFiles; ++i) {
          listeners.push_back(zel::make<RecordingListener>());
          operations.push_back(startOperation([&] { return start(i, listeners.back().get()); }));
        }
        for (int i = 0; i < kFiles; ++i) {
          ASSERT_TRUE(operations[i]->waitDone(kHangGuardMs));
          EXPECT_EQ(listeners[i]->getCalls(), 1);
          EXPECT_FALSE(listeners[i]->wasInline());
          EXPECT_EQ(listeners[i]->getProblem(), -1) << i;
        }
      };
  auto name = [&](const char* folder, int i) { return at(folder) << zel::String::fromInt64(i); };
  startAll([&](int i, zel::IDoneListener* listener) {
    const Bytes bytes = makeBytes(4096, static_cast<std::uint32_t>(i));
    return fs->storeStreamAsync(name("in", i), 4096, streamOf(bytes), false, listener);
  });
  startAll([&](int i, zel::IDoneListener* listener) {
    return fs->moveAsync(name("in", i), name("out", i), IFileSystem::MoveNoReplace, listener);
  });
  EXPECT_FALSE(fs->folderExists(at("in")));
  EXPECT_EQ(fs->listFolder(at("out")).size(), static_cast<std::size_t>(kFiles));
  EXPECT_EQ(readFile(*fs, name("out", 7)), makeBytes(4096, 7));
  startAll([&](int i, zel::IDoneListener* listener) {
    return fs->deleteAsync(name("out", i), listener);
  });
  EXPECT_TRUE(fs->listFolder(at("out")).empty());
}

TEST_F(S3FileSystemTest, MoveInterruptedAfterTheCopyLeavesTwoIdenticalReadableFiles) {
  if (fs == nullptr) return;
  const Bytes bytes = makeBytes(70000, 9);
  ASSERT_EQ(store(at("disk/f"), bytes, false)->getProblem(), -1);
  // What a crash between COPY and DELETE leaves: the COPY alone.
  s3::CS3Request copy =
      s3::CS3FileSystem::makeRequest("PUT", s3::CS3FileSystem::objectOf(at("child/f")));
  const auto source = s3::CS3FileSystem::objectOf(at("disk/f"));
  copy.headers["x-amz-copy-source"] = "/" + source.bucket + "/" + source.key;
  ASSERT_TRUE(fs->getClient().perform(copy).isSuccess());
  EXPECT_EQ(readFile(*fs, at("disk/f")), bytes);
  EXPECT_EQ(readFile(*fs, at("child/f")), bytes);
  // The move tried again refuses to overwrite; the source is left for the caller.
  auto retried = runOperation([&](zel::IDoneListener* listener) {
    return fs->moveAsync(at("disk/f"), at("child/f"), IFileSystem::MoveNoReplace, listener);
  });
  EXPECT_EQ(retried->getProblem(), CFileSystemError::AlreadyExists);
  EXPECT_TRUE(fs->fileExists(at("disk/f")));
}

TEST_F(S3FileSystemTest, ReadsBeyondTheFirstWindowAreRangedGets) {
  if (fs == nullptr) return;
  s3::CS3FileSystem::Options options = gatewayOptions(1);
  options.readWindow = 4096;
  auto small = zel::make<s3::CS3FileSystem>(options);
  const Bytes bytes = makeBytes(3 * 4096 + 100, 12);
  ASSERT_EQ(store(at("big"), bytes, true)->getProblem(), -1);
  const auto before = small->getClient().getRequestCount(s3::CS3Client::Get);
  EXPECT_EQ(readFile(*small, at("big")), bytes);
  EXPECT_EQ(small->getClient().getRequestCount(s3::CS3Client::Get) - before, 4u);
  // Seeking back reads the first window again, correctly.
  P<zel::IIOStream> stream =
      small->openStream(at("big"), zel::IIOStream::AccessRead, IFileSystem::OpenExisting);
  stream->seek(12000);
  unsigned char byte = 0;
  stream->read(&byte, 1);
  EXPECT_EQ(byte, bytes[12000]);
  stream->seek(5);
  stream->read(&byte, 1);
  EXPECT_EQ(byte, bytes[5]);
}

TEST_F(S3FileSystemTest, HttpFailuresCarryStatusKeyAndServerCode) {
  if (fs == nullptr) return;
  try {
    fs->openStream(at("missing"), zel::IIOStream::AccessRead, IFileSystem::OpenExisting);
    FAIL() << "a missing object opened";
  } catch (const CFileSystemError& e) {
    EXPECT_EQ(e.getProblem(), CFileSystemError::NotFound);
    EXPECT_EQ(property(e, "status"), "404");
    EXPECT_EQ(property(e, "s3Code"), "NoSuchKey");
    EXPECT_EQ(property(e, "key"), s3::CS3FileSystem::objectOf(at("missing")).key);
    EXPECT_EQ(property(e, "bucket"), testBucket());
  }

  ASSERT_EQ(store(at("file"), textBytes("one"), false)->getProblem(), -1);
  auto second = store(at("file"), textBytes("two"), false);
  ASSERT_EQ(second->getProblem(), CFileSystemError::AlreadyExists);
  EXPECT_EQ(property(*second->getError(), "status"), "412");
  EXPECT_EQ(property(*second->getError(), "s3Code"), "PreconditionFailed");
  EXPECT_EQ(readFile(*fs, at("file")), textBytes("one"));

  auto missingSource = runOperation([&](zel::IDoneListener* listener) {
    return fs->moveAsync(at("nothing"), at("elsewhere"), IFileSystem::MoveNoReplace, listener);
  });
  EXPECT_EQ(missingSource->getProblem(), CFileSystemError::NotFound);
  EXPECT_EQ(property(*missingSource->getError(), "key"),
            s3::CS3FileSystem::objectOf(at("nothing")).key);

  const CURI noBucket(zel::String("s3://fleck-no-such-bucket-here/x"));
  try {
    fs->getFileInfo(noBucket, IFileSystem::InfoSize);
    FAIL() << "an object in a missing bucket was found";
  } catch (const CFileSystemError& e) {
    EXPECT_EQ(e.getProblem(), CFileSystemError::NotFound);
    EXPECT_EQ(property(e, "s3Code"), "NoSuchBucket");
  }
  EXPECT_EQ(problemOfCall([&] { fs->fileExists(CURI(zel::String("/local/path"))); }),
            CFileSystemError::Unsupported);
}

TEST_F(S3FileSystemTest, KeysWithSpecialCharactersRoundTrip) {
  if (fs == nullptr) return;
  const CURI odd = root << zel::String(L"a b+c=d&e~f%g\u00e9\u4e2d");
  ASSERT_EQ(store(odd, textBytes("odd"), false)->getProblem(), -1);
  EXPECT_EQ(readFile(*fs, odd), textBytes("odd"));
  const auto entries = fs->listFolder(root);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, odd.getName());
}

// Locks renewed every 200 ms and stale after 2 s, so that renewal and staleness show
// within seconds.
P<s3::CS3FileSystem> quickLocks() {
  s3::CS3FileSystem::Options options = gatewayOptions(1);
  options.lockRenewal = std::chrono::milliseconds(200);
  options.lockStaleAfter = std::chrono::seconds(2);
  return zel::make<s3::CS3FileSystem>(options);
}

s3::CS3Lock::Body lockBody(IFileSystem& fs, const CURI& lock) {
  const Bytes bytes = readFile(fs, lock);
  return s3::CS3Lock::parse(std::string(bytes.begin(), bytes.end()));
}

TEST_F(S3FileSystemTest, RenewedLockStaysUntilForcedAndIsNotBroughtBack) {
  if (fs == nullptr) return;
  const CURI lock = at("writer.lock");
  const P<s3::CS3FileSystem> first = quickLocks();
  const P<s3::CS3FileSystem> second = quickLocks();
  P<zel::IBase> held = first->lockFile(lock, "first");

  // Held longer than the stale time: the renewals keep it fresh, each one a PUT whose
  // If-Match the gateway honours (a GET would mean the fallback).
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_GE(first->getClient().getRequestCount(s3::CS3Client::Put), 5u);
  EXPECT_EQ(first->getClient().getRequestCount(s3::CS3Client::Get), 0u);
  try {
    second->breakLock(lock, false);
    FAIL() << "a renewed lock was broken";
  } catch (const CFileSystemError& e) {
    EXPECT_EQ(e.getProblem(), CFileSystemError::Locked);
    EXPECT_EQ(property(e, "holder"), "first");
    EXPECT_EQ(property(e, "stale"), "false");
  }

  // Broken with force and taken by another: the first holder's renewals and its release
  // must leave the new lock alone.
  second->breakLock(lock, true);
  P<zel::IBase> taken = second->lockFile(lock, "second");
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_EQ(lockBody(*fs, lock).holder, "second");
  held = nullptr;
  EXPECT_EQ(lockBody(*fs, lock).holder, "second");
  taken = nullptr;
  EXPECT_TRUE(readFile(*fs, lock).empty());  // free
}

TEST_F(S3FileSystemTest, LeftoverLockIsStaleAndOnlyThenBrokenWithoutForce) {
  if (fs == nullptr) return;
  const CURI lock = at("writer.lock");
  // What a holder that died an hour ago leaves.
  const std::string leftover =
      s3::CS3Lock::format({"host=gone pid=1", "0123456789abcdef", s3::CS3Lock::unixNow() - 3600});
  writeFile(*fs, lock, textBytes(leftover));
  try {
    fs->lockFile(lock, "next");
    FAIL() << "a leftover lock was taken over";
  } catch (const CFileSystemError& e) {
    EXPECT_EQ(e.getProblem(), CFileSystemError::Locked);
    EXPECT_EQ(property(e, "holder"), "host=gone pid=1");
    EXPECT_EQ(property(e, "stale"), "true");
  }
  fs->breakLock(lock, false);
  EXPECT_TRUE(readFile(*fs, lock).empty());  // free
  fs->breakLock(lock, false);                // nothing left to break

  P<zel::IBase> held = fs->lockFile(lock, "next");
  EXPECT_EQ(problemOfCall([&] { fs->breakLock(lock, false); }), CFileSystemError::Locked);
  EXPECT_EQ(lockBody(*fs, lock).holder, "next");
}

}  // namespace
}  // namespace fleck_test
