// The shared contract over the S3 file system, and what only it does: HTTP failures as
// file-system errors, and locks that are objects renewed by their holder and changed
// only by conditional PUTs.

#include <algorithm>
#include <chrono>
#include <thread>

#include "FsTestSupport.h"
#include "S3TestEnvironment.h"
#include "s3/CS3Lock.h"
#include "zel/CLocalFileSystem.h"

using namespace zel;

namespace fleck::test {
namespace {

// The conformance suite's storage: a fresh folder in the test bucket. A folder there is
// a key prefix.
class S3Environment final : public FileSystemEnvironment {
 public:
  S3Environment() : ready(gatewayReady()) {
    if (ready) root = freshFolder();
  }
  zel::P<zel::IFileSystem> makeFileSystem(int completionThreads) override {
    // Without a gateway the test has failed or been skipped and never runs its body.
    if (!ready) return zel::make<zel::CLocalFileSystem>();
    return zel::make<s3::CS3FileSystem>(gatewayOptions(completionThreads));
  }
  zel::CURI getRoot() const override { return root; }
  std::vector<std::string> listRaw(const zel::CURI& folder) override {
    std::vector<std::string> names;
    for (const auto& entry : s3::CS3FileSystem(gatewayOptions(1)).listFolder(folder))
      names.push_back(entry.name.toUTF8());
    std::sort(names.begin(), names.end());
    return names;
  }
  bool hasRealFolders() const override { return false; }

 private:
  const bool ready;
  zel::CURI root;
};

INSTANTIATE_TEST_SUITE_P(S3, FileSystemConformance,
                         ::testing::Values(FileSystemKind{
                             "S3", [] { return std::make_unique<S3Environment>(); }}),
                         kindName);

// What an error (or else its causes) says about `keys`, as "key=value" lines.
std::string wordsOf(const CError* error, std::initializer_list<const char*> keys) {
  std::string lines;
  for (const char* key : keys) {
    const CError* e = error;
    while (e != nullptr && !e->getProps().has(key))
      e = e->getCause();
    if (e != nullptr) lines += key + ("=" + e->getProps().lookup(key).toUTF8()) + "\n";
  }
  return lines;
}
std::string wordsOf(const std::function<void()>& call, std::initializer_list<const char*> keys) {
  try {
    call();
  } catch (const CError& error) {
    return wordsOf(&error, keys);
  }
  return "no error";
}

class S3FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!gatewayReady()) return;
    root = freshFolder();
    fs = make<s3::CS3FileSystem>(gatewayOptions(2));
  }
  // Renewed every 200 ms and stale after 2 s, so that both show within seconds.
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

  CURI root;
  P<s3::CS3FileSystem> fs;
};

TEST_F(S3FileSystemTest, HttpFailuresCarryStatusKeyAndServerCode) {
  if (fs == nullptr) return;
  const CURI missing = root << "missing", file = root << "file";
  EXPECT_EQ(wordsOf([&] { readFile(*fs, missing); }, {"status", "s3Code", "key"}),
            "status=404\ns3Code=NoSuchKey\nkey=" + s3::CS3FileSystem::objectOf(missing).key + "\n");
  EXPECT_EQ(store(*fs, file, textBytes("one"), false), kSuccess);
  const auto second = runOperation([&](IDoneListener* l) {
    return fs->storeStreamAsync(file, 3, streamOf(textBytes("two")), false, l);
  });
  EXPECT_EQ(second->getProblem(), CFileSystemError::AlreadyExists);
  EXPECT_EQ(
      wordsOf(second->getError().get(), {"status", "s3Code", "key"}),
      "status=412\ns3Code=PreconditionFailed\nkey=" + s3::CS3FileSystem::objectOf(file).key + "\n");
  EXPECT_EQ(wordsOf([&] { fs->getFileInfo(CURI(String("s3://fleck-no-such-bucket/x")), 0); },
                    {"status", "s3Code", "key"}),
            "status=404\ns3Code=NoSuchBucket\nkey=x\n");
  EXPECT_EQ(problemOfCall([&] { fs->fileExists(CURI(String("/local/path"))); }),
            CFileSystemError::Unsupported);
}

// A renewed lock stays until forced; its first holder neither renews nor releases the
// next holder's lock. A lock left by a holder that died is stale and then broken
// without force.
TEST_F(S3FileSystemTest, LocksAreRenewedAndOnlyStaleOnesBrokenWithoutForce) {
  if (fs == nullptr) return;
  const CURI lock = root << "writer.lock";
  const P<s3::CS3FileSystem> first = quickLocks(), second = quickLocks();
  P<IBase> held = first->lockFile(lock, "first");
  // Held past the stale time: each renewal a PUT whose If-Match the gateway honours (a
  // GET would mean the fallback).
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_GE(first->getClient().getRequestCount(s3::CS3Client::Put), 5u);
  EXPECT_EQ(first->getClient().getRequestCount(s3::CS3Client::Get), 0u);
  EXPECT_EQ(wordsOf([&] { second->breakLock(lock, false); }, {"holder", "stale"}),
            "holder=first\nstale=false\n");
  second->breakLock(lock, true);
  P<IBase> taken = second->lockFile(lock, "second");
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_EQ(holderOf(lock), "second");
  held = nullptr;
  EXPECT_EQ(holderOf(lock), "second");
  taken = nullptr;
  EXPECT_TRUE(readFile(*fs, lock).empty());  // free

  writeFile(
      *fs, lock,
      textBytes(s3::CS3Lock::format({"gone", "0123456789abcdef", s3::CS3Lock::unixNow() - 3600})));
  EXPECT_EQ(wordsOf([&] { fs->lockFile(lock, "next"); }, {"holder", "stale"}),
            "holder=gone\nstale=true\n");
  fs->breakLock(lock, false);
  EXPECT_TRUE(readFile(*fs, lock).empty());
  fs->breakLock(lock, false);  // nothing left to break
  held = fs->lockFile(lock, "next");
  EXPECT_EQ(wordsOf([&] { fs->breakLock(lock, false); }, {"holder", "stale"}),
            "holder=next\nstale=false\n");
}

}  // namespace
}  // namespace fleck::test
