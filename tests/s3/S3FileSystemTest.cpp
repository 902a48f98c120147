// The shared contract over the S3 file system, and what only it does: HTTP failures as
// file-system errors, and locks that are renewed objects changed only by conditional PUTs.

#include <chrono>
#include <thread>

#include "FsTestSupport.h"
#include "S3TestEnvironment.h"
#include "s3/CS3Lock.h"

using namespace zel;

namespace fleck::test {
namespace {

INSTANTIATE_TEST_SUITE_P(S3, FileSystemConformance,
                         ::testing::Values(FileSystemKind{
                             "S3", [] { return std::make_unique<S3Environment>(); }}),
                         kindName);

// The value of a property of the error or of its causes, or empty text.
std::string property(const CError& error, const char* key) {
  for (const CError* e = &error; e != nullptr; e = e->getCause()) {
    if (const String* value = e->getProps().find(key)) return value->toUTF8();
  }
  return std::string();
}

class S3FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!gatewayReady()) return;
    fs = make<s3::CS3FileSystem>(gatewayOptions(2));
    root = freshFolder();
  }
  CURI at(const char* relative) const { return root << CURI(String(relative)); }
  // A file system whose locks are renewed every 200 ms and stale after 2 s.
  static P<s3::CS3FileSystem> quickLocks() {
    s3::CS3FileSystem::Options options = gatewayOptions(1);
    options.lockRenewal = std::chrono::milliseconds(200);
    options.lockStaleAfter = std::chrono::seconds(2);
    return make<s3::CS3FileSystem>(options);
  }
  std::string holderOf(const CURI& lock) {
    const Bytes bytes = readFile(*fs, lock);
    return s3::CS3Lock::parse(std::string(bytes.begin(), bytes.end())).holder;
  }
  // The Locked error of `call`, or a failure.
  static void expectLocked(const std::function<void()>& call, const char* holder,
                           const char* stale) {
    try {
      call();
      ADD_FAILURE() << "a held lock was taken or broken";
    } catch (const CFileSystemError& e) {
      EXPECT_EQ(e.getProblem(), CFileSystemError::Locked);
      EXPECT_EQ(property(e, "holder"), holder);
      EXPECT_EQ(property(e, "stale"), stale);
    }
  }

  P<s3::CS3FileSystem> fs;
  CURI root;
};

TEST_F(S3FileSystemTest, HttpFailuresCarryStatusKeyAndServerCode) {
  if (fs == nullptr) return;
  try {
    fs->openStream(at("missing"), IIOStream::AccessRead, IFileSystem::OpenExisting);
    FAIL() << "a missing object opened";
  } catch (const CFileSystemError& e) {
    EXPECT_EQ(e.getProblem(), CFileSystemError::NotFound);
    EXPECT_EQ(property(e, "status"), "404");
    EXPECT_EQ(property(e, "s3Code"), "NoSuchKey");
    EXPECT_EQ(property(e, "key"), s3::CS3FileSystem::objectOf(at("missing")).key);
    EXPECT_EQ(property(e, "bucket"), testBucket());
  }
  ASSERT_EQ(store(*fs, at("file"), textBytes("one"), false)->getProblem(), kSuccess);
  auto second = store(*fs, at("file"), textBytes("two"), false);
  ASSERT_EQ(second->getProblem(), CFileSystemError::AlreadyExists);
  EXPECT_EQ(property(*second->getError(), "status"), "412");
  EXPECT_EQ(property(*second->getError(), "s3Code"), "PreconditionFailed");

  auto missingSource = runOperation([&](IDoneListener* listener) {
    return fs->moveAsync(at("nothing"), at("elsewhere"), IFileSystem::MoveNoReplace, listener);
  });
  EXPECT_EQ(missingSource->getProblem(), CFileSystemError::NotFound);
  EXPECT_EQ(property(*missingSource->getError(), "key"),
            s3::CS3FileSystem::objectOf(at("nothing")).key);
  try {
    fs->getFileInfo(CURI(String("s3://fleck-no-such-bucket-here/x")), IFileSystem::InfoSize);
    FAIL() << "an object in a missing bucket was found";
  } catch (const CFileSystemError& e) {
    EXPECT_EQ(e.getProblem(), CFileSystemError::NotFound);
    EXPECT_EQ(property(e, "s3Code"), "NoSuchBucket");
  }
  EXPECT_EQ(problemOfCall([&] { fs->fileExists(CURI(String("/local/path"))); }),
            CFileSystemError::Unsupported);
}

TEST_F(S3FileSystemTest, RenewedLockStaysUntilForcedAndIsNotBroughtBack) {
  if (fs == nullptr) return;
  const CURI lock = at("writer.lock");
  const P<s3::CS3FileSystem> first = quickLocks();
  const P<s3::CS3FileSystem> second = quickLocks();
  P<IBase> held = first->lockFile(lock, "first");
  // Held longer than the stale time: the renewals keep it fresh, each one a PUT whose
  // If-Match the gateway honours (a GET would mean the fallback).
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_GE(first->getClient().getRequestCount(s3::CS3Client::Put), 5u);
  EXPECT_EQ(first->getClient().getRequestCount(s3::CS3Client::Get), 0u);
  expectLocked([&] { second->breakLock(lock, false); }, "first", "false");

  // Broken with force and taken by another: the first holder's renewals and its release
  // leave the new lock alone.
  second->breakLock(lock, true);
  P<IBase> taken = second->lockFile(lock, "second");
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_EQ(holderOf(lock), "second");
  held = nullptr;
  EXPECT_EQ(holderOf(lock), "second");
  taken = nullptr;
  EXPECT_TRUE(readFile(*fs, lock).empty());  // free
}

TEST_F(S3FileSystemTest, LeftoverLockIsStaleAndOnlyThenBrokenWithoutForce) {
  if (fs == nullptr) return;
  const CURI lock = at("writer.lock");
  // What a holder that died an hour ago leaves.
  writeFile(*fs, lock,
            textBytes(s3::CS3Lock::format(
                {"host=gone pid=1", "0123456789abcdef", s3::CS3Lock::unixNow() - 3600})));
  expectLocked([&] { fs->lockFile(lock, "next"); }, "host=gone pid=1", "true");
  fs->breakLock(lock, false);
  EXPECT_TRUE(readFile(*fs, lock).empty());  // free
  fs->breakLock(lock, false);                // nothing left to break
  P<IBase> held = fs->lockFile(lock, "next");
  expectLocked([&] { fs->breakLock(lock, false); }, "next", "false");
  EXPECT_EQ(holderOf(lock), "next");
}

}  // namespace
}  // namespace fleck::test
