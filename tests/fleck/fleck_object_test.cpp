#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <cstring>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "FleckTestSupport.h"
#include "fleck/CFleck.h"
#include "fleck/CFleckDataPreparer.h"
#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskAuxFileBase.h"
#include "fleck/CFleckDiskError.h"
#include "fleck/CFleckDiskHeader.h"
#include "fleck/CFleckDiskLink.h"
#include "fleck/CFleckStorer.h"
#include "support/CFaultInjectingFileSystem.h"
#include "support/TempFolder.h"
#include "zel/CFileSystemError.h"
#include "zel/CIOError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CLocalFileSystem.h"

// The fleck object and what it stands on: its storers (over a file system that fails or
// holds chosen operations), its records, and a disk's small files and keys. Digests,
// ciphers and compressors themselves are tested in their own folders.

namespace fleck::test {
namespace {

namespace fsys = std::filesystem;
using Buffer = zel::TBuffer<unsigned char>;
using FS = CFaultInjectingFileSystem;
using Rule = FS::Rule;
using E = zel::CFileSystemError;
using Files = std::map<std::string, std::string>;
using Lines = std::vector<std::string>;
using Key = zel::TCryptBuffer<unsigned char>;

// Long enough that only a storer that never ends runs into it.
constexpr int kHangMs = 30000;
constexpr int kNone = -1;
constexpr int kFleckSize = 4096;
const std::string kRelative = "flecks/d01/c02/b03/a04/05.fleck";
const std::string kDisk = "disk/" + kRelative;
const std::string kChild = "child/" + kRelative;

int problemOf(const zel::CError* error) {
  return error == nullptr ? kNone : E::getProblem(error->getProps());
}
Rule fail(FS::Op op, int problem, const char* where = "", int skip = 0, int times = -1) {
  return Rule{.op = op, .pathContains = where, .problem = problem, .skip = skip, .times = times};
}
Rule hold(FS::Op op, int times = -1) {
  return Rule{.op = op, .hold = true, .times = times};
}
Buffer buffer(const std::string& bytes) {
  return Buffer(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}
std::string text(const Buffer& bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.getData()), bytes.getUsed());
}
std::string digest(const std::string& bytes, const EVP_MD* type = EVP_md5()) {
  std::string out(static_cast<std::size_t>(EVP_MD_size(type)), '\0');
  EVP_Digest(bytes.data(), bytes.size(), reinterpret_cast<unsigned char*>(out.data()), nullptr,
             type, nullptr);
  return out;
}
// Bytes below `range` no two seeds share (compressible for small ranges); 0 gives zeros.
std::string payload(unsigned seed, std::size_t size = kFleckSize, unsigned range = 7) {
  std::string bytes(size, '\0');
  std::mt19937 random(seed);
  for (char& b : bytes)
    b = static_cast<char>(seed == 0 ? 0 : random() % range);
  return bytes;
}
Key key(char seed) {
  return Key(std::vector<unsigned char>(32, static_cast<unsigned char>(seed)).data(), 32);
}
CFleckDiskHeader makeHeader(const char* compressID = "lz4", const char* cipherID = "aes256cbc") {
  CFleckDiskHeader h;
  h.setFleckSize(kFleckSize);
  h.setCompressID(compressID);
  h.setCipherID(cipherID);
  return h;
}

// Records what it is told and, when it knows its storer, what the storer shows then.
class RecordingListener final : public zel::CBase, public virtual zel::IDoneListener {
 public:
  void onDone(const zel::CError* error) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++calls;
      reported = problemOf(error);
      if (storer != nullptr) {
        finishedAtCall = storer->waitFinished(0);
        progressAtCall = storer->getProgress();
        errorAtCall = problemOf(storer->getError());
      }
    }
    told->set();
  }

  const zel::P<zel::CSignal> told = zel::make<zel::CSignal>();
  CFleckStorer* storer = nullptr;  // set before any completion can arrive
  std::mutex mutex;                // guards everything below
  int calls = 0, reported = -2, errorAtCall = -2;
  bool finishedAtCall = false;
  double progressAtCall = -1;
};

// A folder reached through a file system that fails or holds chosen operations.
class FolderTest : public ::testing::Test {
 protected:
  std::string path(const std::string& relative) const { return root.path() + "/" + relative; }
  void put(const std::string& relative, const std::string& bytes) {
    fsys::create_directories(fsys::path(path(relative)).parent_path());
    writeFile(path(relative), bytes);
  }
  // Every file below the root: temporary files left behind show up here too.
  Files files() const {
    Files all;
    for (const auto& entry : fsys::recursive_directory_iterator(root.path())) {
      if (entry.is_regular_file())
        all[fsys::relative(entry.path(), root.path()).string()] = readFile(entry.path().string());
    }
    return all;
  }

  TempFolder root;
  zel::P<FS> fs = zel::make<FS>(zel::make<zel::CLocalFileSystem>());
};

std::string prepare(CFleckDataPreparer& preparer, const std::string& bytes) {
  Buffer record;
  preparer.prepareData(buffer(bytes), record);
  return text(record);
}
// The payload, or the error's message. `fixDigest` makes the record digest match, so
// that the checks behind it are reached.
std::string unprepare(CFleckDataPreparer& preparer, std::string record, bool fixDigest = false) {
  if (fixDigest)
    record.replace(record.size() - 16, 16, digest(record.substr(0, record.size() - 16)));
  Buffer out;
  try {
    preparer.unprepareData(buffer(record), out);
  } catch (const zel::CError& e) {
    return e.getMessage().toUTF8();
  }
  return text(out);
}

TEST(PreparerTest, EveryCompressorFamilyRoundTripsWithAndWithoutEncryption) {
  for (const char* cipherID : {"null", "aes256cbc"}) {
    for (const char* compressID : {"null", "zlib-9", "lz4", "lz4hc", "lzma-6-1"}) {
      SCOPED_TRACE(std::string(compressID) + "/" + cipherID);
      CFleckDataPreparer preparer(makeHeader(compressID, cipherID), key(7));
      for (const std::string& input :
           {payload(1, 0, 256), payload(2, 1, 256), payload(3, kFleckSize, 256), payload(4)})
        EXPECT_TRUE(unprepare(preparer, prepare(preparer, input)) == input);
    }
  }
}

TEST(PreparerTest, RecordLayoutWithoutCompressionOrEncryption) {
  CFleckDataPreparer preparer(makeHeader("null", "null"), Key());
  const std::string input = payload(9, 100, 256);
  const std::string head = std::string("FLECK\x01\x00\x01\x00", 9) + digest(input) + input;
  EXPECT_EQ(prepare(preparer, input), head + digest(head));
}

TEST(PreparerTest, AnyFlippedByteOrMissingTailIsCorruption) {
  for (const char* cipherID : {"null", "aes256cbc"}) {
    CFleckDataPreparer preparer(makeHeader("lz4", cipherID), key(1));
    const std::string record = prepare(preparer, payload(11, 300));
    for (std::size_t i = 0; i < record.size(); ++i) {
      std::string damaged = record;
      damaged[i] ^= 0x40;
      ASSERT_EQ(unprepare(preparer, damaged), "Fleck file is corrupted.") << "byte " << i;
    }
    for (std::size_t size : {std::size_t{0}, std::size_t{15}, record.size() - 1})
      EXPECT_EQ(unprepare(preparer, record.substr(0, size)), "Fleck file is corrupted.");
  }
}

// Behind a matching record digest: the magic, reader version, size and payload digest.
TEST(PreparerTest, ChecksBehindTheRecordDigest) {
  CFleckDataPreparer preparer(makeHeader("null", "null"), Key());
  const std::string record = prepare(preparer, payload(12, 50, 256));
  const std::tuple<std::size_t, char, const char*> cases[] = {
      {0, 'X', "Invalid ID in fleck data."},
      {5, 2, "Newer software version required to read fleck data."},
      {30, 0, "Decrypted and decompressed fleck data does not match hash."}};
  for (const auto& [at, value, message] : cases)
    EXPECT_EQ(unprepare(preparer, std::string(record).replace(at, 1, 1, value), true), message);
  EXPECT_EQ(unprepare(preparer, record.substr(0, 36), true),  // no room for two digests
            "Invalid size of prepared fleck data.");
}

TEST(PreparerTest, PayloadLargerThanAFleckAndUnknownCompressorsAreRefused) {
  CFleckDataPreparer preparer(makeHeader("lz4", "null"), Key());
  Buffer record = buffer(prepare(preparer, payload(1, kFleckSize, 256)));
  EXPECT_THROW(preparer.prepareData(buffer(payload(1, kFleckSize + 1, 256)), record),
               zel::CInvalidArgError);
  EXPECT_EQ(unprepare(preparer, text(record)), payload(1, kFleckSize, 256));  // kept as it was
  for (const char* id : {"LZ4", "zlib", "zlib-x", "lzma-5-"})
    EXPECT_THROW(CFleckDataPreparer p(makeHeader(id, "null"), Key()), zel::CError) << id;
}

CFleckDiskHeader encrypted(const char* salt, int iterations) {
  CFleckDiskHeader h;
  h.setCipherKeyDerivationSalt(buffer(salt));
  h.setCipherKeyDerivationIterations(iterations);
  return h;
}
Key derive(const zel::String& password, const CFleckDiskHeader& h) {
  Key k;
  CFleckDisk::deriveCipherKey(k, password, h);
  return k;
}

TEST(CipherKeyTest, DerivationDependsOnSaltAndIterationsAndRefusesWeakOnes) {
  const Key k = derive("secret", encrypted("saltsalt", 1000));
  EXPECT_FALSE(k == derive("secret", encrypted("saltsalT", 1000)));
  EXPECT_FALSE(k == derive("secret", encrypted("saltsalt", 1001)));
  auto h = encrypted("saltsalt", 1000);  // a password is right when its key has the kept digest
  Key out;
  EXPECT_FALSE(CFleckDisk::isEncryptPasswordCorrect(h, "secret", &out));
  h.setCipherKeyHash(buffer(digest(text(k), EVP_sha256())));
  EXPECT_TRUE(CFleckDisk::isEncryptPasswordCorrect(h, "secret", &out) && out == k);
  EXPECT_FALSE(CFleckDisk::isEncryptPasswordCorrect(h, "secreT", &out));
  auto unknown = encrypted("saltsalt", 1000);
  unknown.setCipherKeyDeriverID("scrypt");
  const std::pair<CFleckDiskHeader, const char*> refused[] = {
      {encrypted("saltsal", 10000), "Key derivation salt is too small: 7 bytes"},
      {encrypted("saltsalt", 999), "Key derivation iterations are too small: 999"},
      {unknown, "Unknown key deriver ID: scrypt"}};
  for (const auto& [h, message] : refused) {
    try {
      derive("pw", h);
      ADD_FAILURE() << "derived a key";
    } catch (const zel::CInvalidArgError& e) {
      EXPECT_EQ(e.getMessage(), zel::String(message));
    }
  }
}

// The header record of a default header with a disk size of 0x0102030405.
const std::string kHead =
    std::string("FLCKDISK\x01\0\0\0\0\0\0\0\x01\0\0\0\0\0\0\0\x01\0\0\0\0\0\0\0", 32) +
    std::string("\0\0\x08\0\x01\0\0\0\x05\x04\x03\x02\x01\0\0\0", 16) +  // sizes
    std::string("\x03\0\0\0md5\x06\0\0\0sha256\x04\0\0\0null\0\0\0\0\x03\0\0\0lz4", 36) +
    std::string("\x16\0\0\0PKCS5-PBKDF2-HMAC-SHA1\0\0\0\0\x10\x27\0\0\0\0\0\0", 38);

class AuxFileTest : public FolderTest {
 protected:
  void store(const std::string& payload) {
    CFleckDiskAuxFileBase::storeAuxFile(fs, root.uri(), "x.meta", buffer(payload));
  }
  // The payload, or the error's message, which must name the primary copy.
  std::string load(const char* name = "x.meta") {
    try {
      return text(*CFleckDiskAuxFileBase::loadAuxFile(fs, root.uri(), name));
    } catch (const zel::CError& e) {
      EXPECT_EQ(e.getProps().lookup("uri"), (root.uri() << name).toString(true));
      return e.getMessage().toUTF8();
    }
  }
  void putAux(const char* name, const std::string& payload) {
    put(name, payload + digest(payload));
  }
};

TEST_F(AuxFileTest, StoresPayloadAndDigestTwiceAndFallsBackToTheSecondCopy) {
  std::filesystem::create_directories(path("fallback"));
  writeFile(path("fallback/x.meta"), "a stale copy that is longer");
  store("payload");
  EXPECT_EQ(readFile(path("x.meta")), "payload" + digest("payload"));
  EXPECT_EQ(readFile(path("fallback/x.meta")), "payload" + digest("payload"));
  std::string damaged = readFile(path("x.meta"));
  damaged[3] ^= 0x01;
  for (const std::string& primary : {std::string(), std::string(8, 'x'), damaged}) {
    writeFile(path("x.meta"), primary);
    if (primary.empty()) std::filesystem::remove(path("x.meta"));
    EXPECT_EQ(load(), "payload");
  }
  writeFile(path("fallback/x.meta"), std::string(5, 'y'));
  EXPECT_EQ(load(), "Fleckdisk auxiliary file is corrupted.");  // the primary's error
  std::filesystem::remove(path("x.meta"));
  EXPECT_THROW(CFleckDiskAuxFileBase::loadAuxFile(fs, root.uri(), "y"), zel::CFileSystemError);
}

TEST_F(AuxFileTest, SizeLimits) {
  putAux("x.meta", "");  // nothing but a digest
  EXPECT_EQ(load(), "Bad fleckdisk auxiliary file size: 16");
  putAux("x.meta", "z");
  EXPECT_EQ(load(), "z");
  const std::string largest(CFleckDiskAuxFileBase::kMaxFileLength - 16, 'a');
  putAux("x.meta", largest + "a");
  EXPECT_EQ(load(), "Bad fleckdisk auxiliary file size: 1048577");
  std::filesystem::remove(path("x.meta"));
  EXPECT_THROW(store(""), zel::CInvalidArgError);
  EXPECT_THROW(store(largest + "a"), zel::CInvalidArgError);
  EXPECT_FALSE(std::filesystem::exists(path("x.meta")));
  store(largest);
  EXPECT_EQ(load(), largest);
}

TEST_F(AuxFileTest, HeaderRecordVersionsAndDamage) {
  CFleckDiskHeader h;
  h.setDiskSize(0x0102030405);
  h.setCipherID("null");
  h.store(fs, root.uri());
  EXPECT_EQ(readFile(path("disk.fleckdisk")), kHead + digest(kHead));

  std::string head = kHead + "trailing bytes";  // ignored
  head[12] = 7;                                 // the high half of the version is dropped
  head[44] = 9;                                 // disk size
  putAux("disk.fleckdisk", head);
  h.load(fs, root.uri());
  EXPECT_EQ(h.getVersion(), 1);
  EXPECT_EQ(h.getDiskSize(), 0x0902030405);
  head = kHead;
  head[16] = 2;  // the lowest reader version
  putAux("disk.fleckdisk", head);
  CFleckDiskHeader newer;
  try {
    newer.load(fs, root.uri());
    ADD_FAILURE() << "loaded a header that needs a newer reader";
  } catch (const CFleckDiskError& e) {
    EXPECT_EQ(e.getCode(), CFleckDiskError::NewerVersionRequired);
    EXPECT_EQ(e.getDiskFolder(), root.uri());
  }
  EXPECT_EQ(newer.getFleckSize(), 0x80000);  // nothing after the reader version was read
  putAux("disk.fleckdisk", kHead.substr(0, 60));
  EXPECT_THROW(h.load(fs, root.uri()), zel::CIOError);
  // A link is no header.
  CFleckDiskLink().store(fs, root.uri(), "disk.fleckdisk");
  EXPECT_THROW(h.load(fs, root.uri()), zel::CError);
}

enum Setup : unsigned { kDiskFolders = 1, kChildFolders = 2, kNoDiskRoot = 4 };
constexpr unsigned kBothFolders = kDiskFolders | kChildFolders;

class StorerTest : public FolderTest {
 protected:
  void SetUp() override {
    fsys::create_directory(path("disk"));
    fsys::create_directory(path("child"));
  }
  void arrange(unsigned setup) {
    if (setup & kDiskFolders) fsys::create_directories(fsys::path(path(kDisk)).parent_path());
    if (setup & kChildFolders) fsys::create_directories(fsys::path(path(kChild)).parent_path());
    if (setup & kNoDiskRoot) fsys::remove(path("disk"));
  }
  zel::P<CFleckStorer> start(const Buffer* data, bool withChild,
                             zel::IDoneListener* listener = nullptr) {
    const zel::CURI relative(kRelative.c_str());
    return CFleckStorer::start(fs, root.uri() << "disk", relative,
                               withChild ? root.uri() << "child" : zel::CURI(),
                               withChild ? relative : zel::CURI(), data, zero.get(), listener);
  }
  // Runs a storer to its end and checks what every ended storer promises.
  zel::P<CFleckStorer> run(const Buffer* data, bool withChild) {
    auto listener = zel::make<RecordingListener>();
    zel::P<CFleckStorer> storer = start(data, withChild, listener);
    EXPECT_TRUE(storer->waitFinished(kHangMs));
    EXPECT_TRUE(listener->told->wait(kHangMs));
    EXPECT_EQ(storer->getProgress(), 1.0);
    std::lock_guard<std::mutex> lock(listener->mutex);
    EXPECT_EQ(listener->calls, 1);
    EXPECT_EQ(listener->reported, problemOf(storer->getError()));
    return storer;
  }

  const zel::P<Buffer> fresh = zel::make<Buffer>(buffer("new"));
  const zel::P<Buffer> zero = zel::make<Buffer>(buffer("zero"));
};

struct StoreCase {
  const char* name;
  bool withChild;
  bool nullRecord;
  const char* diskBefore;  // the fleck's file in the disk before, null: none
  const char* childBefore;
  unsigned setup;
  std::vector<Rule> rules;
  int problem;  // the storer's error, kNone: success
  const char* diskAfter = nullptr;
  const char* childAfter = nullptr;
  const char* absentFolder = nullptr;  // must not exist afterwards
  const char* logged = nullptr;        // the one message logged, null: none
};

class StorerCaseTest : public StorerTest, public ::testing::WithParamInterface<StoreCase> {};

TEST_P(StorerCaseTest, LeavesTheOldOrTheNewContentsAndReportsTheEndOnce) {
  const StoreCase& c = GetParam();
  arrange(c.setup);
  if (c.diskBefore != nullptr) put(kDisk, c.diskBefore);
  if (c.childBefore != nullptr) put(kChild, c.childBefore);
  for (const Rule& rule : c.rules)
    fs->addRule(rule);
  LogCapture logged;

  zel::P<CFleckStorer> storer = run(c.nullRecord ? nullptr : fresh.get(), c.withChild);
  EXPECT_EQ(problemOf(storer->getError()), c.problem)
      << (storer->getError() ? storer->getError()->what() : "");
  Files expected;
  if (c.diskAfter != nullptr) expected[kDisk] = c.diskAfter;
  if (c.childAfter != nullptr) expected[kChild] = c.childAfter;
  EXPECT_EQ(files(), expected);
  EXPECT_FALSE(c.absentFolder != nullptr && fsys::exists(path(c.absentFolder)));
  EXPECT_EQ(logged.getMessages(), c.logged ? std::vector<std::string>{c.logged} : Lines{});
}

const int N = E::NotFound, O = E::Other, A = E::AlreadyExists, U = E::Unsupported;
const FS::Op kStore = FS::StoreStreamAsync, kMove = FS::MoveAsync, kMkdir = FS::CreateFolderAsync;

// Rows: name, child?, null record?, disk's and child's file before, folders, rules;
// error, disk's and child's file after, a folder that must not exist, the message logged.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Paths, StorerCaseTest, ::testing::Values(
    // Without a child. Only NotFound or Other from a store send the storer to make folders.
    StoreCase{"NewFileGetsItsFolders", false, false, nullptr, nullptr, 0, {}, kNone, "new"},
    StoreCase{"ExistingFileIsReplaced", false, false, "old", nullptr, 0, {}, kNone, "new"},
    StoreCase{"NullRecordRemovesTheFile", false, true, "old", nullptr, 0, {}, kNone, nullptr},
    StoreCase{"StoreAlreadyExistsEnds", false, false, nullptr, nullptr, 0, {fail(kStore, A)},
              A, nullptr, nullptr, "disk/flecks"},
    StoreCase{"StoreFailingOnceIsRetried", false, false, nullptr, nullptr, kDiskFolders,
              {fail(kStore, O, "", 0, 1)}, kNone, "new"},
    StoreCase{"StepThatCannotStartEnds", false, false, nullptr, nullptr, 0,
              {Rule{.op = kMkdir, .problem = O, .throwAtCall = true}}, O},
    StoreCase{"StoreIsRetriedOnlyOnce", false, false, nullptr, nullptr, kDiskFolders,
              {fail(kStore, O)}, O, nullptr},
    StoreCase{"MissingDiskFolderIsNotMade", false, false, nullptr, nullptr, kNoDiskRoot, {}, N,
              nullptr, nullptr, "disk"},
    // The fourth creation touching c02 is the first one on the way down.
    StoreCase{"FolderGoneOnTheWayDown", false, false, nullptr, nullptr, 0,
              {fail(kMkdir, N, "/c02", 3, 1)}, N, nullptr, nullptr, "disk/flecks/d01/c02"},
    // With a child, which must keep what it read until now.
    StoreCase{"OldFileMovesIntoTheChild", true, false, "old", nullptr, kChildFolders, {}, kNone,
              "new", "old"},
    StoreCase{"OldFileMovesOnceChildFoldersExist", true, false, "old", nullptr, 0, {}, kNone,
              "new", "old"},
    StoreCase{"NullRecordMovesTheOldFile", true, true, "old", nullptr, kChildFolders, {}, kNone,
              nullptr, "old"},
    StoreCase{"ChildKeepsItsOwnFile", true, false, "old", "own", 0, {}, kNone, "new", "own"},
    StoreCase{"ChildKeepsItsOwnFileWhenTheDiskHasNone", true, false, nullptr, "own",
              kDiskFolders, {}, kNone, "new", "own"},
    StoreCase{"ChildGetsTheZeroRecord", true, false, nullptr, nullptr, 0, {}, kNone, "new",
              "zero"},
    StoreCase{"ZerosOverZerosStoreNothing", true, true, nullptr, nullptr, 0, {}, kNone},
    StoreCase{"ZeroRecordIsTakenBackWhenTheStoreFails", true, false, nullptr, nullptr,
              kBothFolders, {fail(kStore, O, "/disk/")}, O},
    StoreCase{"ZeroRecordThatCannotBeTakenBackIsLogged", true, false, nullptr, nullptr,
              kBothFolders, {fail(kStore, U, "/disk/"), fail(FS::DeleteFile, O)}, U, nullptr,
              "zero", nullptr, "Cannot remove the zero fleck record from the child disk again."},
    StoreCase{"MovedFileStaysInTheChildWhenTheStoreFails", true, false, "old", nullptr,
              kChildFolders, {fail(kStore, U)}, U, nullptr, "old"},
    // A move failing otherwise: what is there decides.
    StoreCase{"MoveFailsAndTheChildHasAFile", true, false, "old", "own", kBothFolders,
              {fail(kMove, O)}, kNone, "new", "own"},
    StoreCase{"MoveFailsAndOnlyTheDiskHasAFile", true, false, "old", nullptr, kBothFolders,
              {fail(kMove, O)}, O, "old"},
    StoreCase{"MoveFailsAndNoFileExists", true, false, nullptr, nullptr, kBothFolders,
              {fail(kMove, O)}, kNone, "new", "zero"},
    // The zero record's store failing.
    StoreCase{"ZeroRecordAlreadyExists", true, false, nullptr, nullptr, kBothFolders,
              {fail(kMove, N), fail(kStore, A, "/child/")}, kNone, "new"},
    StoreCase{"ZeroRecordFailsButTheChildHasAFile", true, false, nullptr, "own", kBothFolders,
              {fail(kMove, N), fail(kStore, O, "/child/")}, kNone, "new", "own"},
    StoreCase{"ZeroRecordFailsAndTheChildHasNoFile", true, false, nullptr, nullptr, kBothFolders,
              {fail(kMove, N), fail(kStore, O, "/child/")}, O}),
    [](const ::testing::TestParamInfo<StoreCase>& info) { return info.param.name; });
// clang-format on

// The new contents wait for the old ones to reach the child, and the store after a
// move never replaces a file that another writer put there meanwhile.
TEST_F(StorerTest, StoreWaitsForTheMoveAndReplacesNoFileThatAppeared) {
  put(kDisk, "old");
  arrange(kChildFolders);
  fs->addRule(hold(kMove, 1));
  auto listener = zel::make<RecordingListener>();
  zel::P<CFleckStorer> storer = start(fresh, true, listener);
  ASSERT_TRUE(fs->waitForHeld(1, kHangMs));
  EXPECT_EQ(files(), (Files{{kChild, "old"}}));
  EXPECT_FALSE(storer->waitFinished(0));
  put(kDisk, "another writer's");
  fs->releaseHeld();
  ASSERT_TRUE(listener->told->wait(kHangMs));
  EXPECT_EQ(problemOf(storer->getError()), A);
  EXPECT_EQ(files(), (Files{{kChild, "old"}, {kDisk, "another writer's"}}));
}

// While it runs a storer shows no error and a progress below 1; its listener is told
// once, when the end, the progress and the error are visible.
TEST_F(StorerTest, ListenerHearsOfTheEndOnceItIsVisible) {
  arrange(kNoDiskRoot);  // the store fails, then each folder creation up to the top
  fs->addRule(hold(kStore));
  fs->addRule(hold(kMkdir));
  auto listener = zel::make<RecordingListener>();
  zel::P<CFleckStorer> storer = start(fresh, false, listener);
  listener->storer = storer.get();  // before any completion: the first one is held
  for (int held = 0; held < 6; ++held) {
    ASSERT_TRUE(fs->waitForHeld(1, kHangMs)) << "held " << held;
    EXPECT_TRUE(!storer->waitFinished(0) && storer->getError() == nullptr);
    EXPECT_LE(storer->getProgress(), 0.99);
    fs->releaseHeld();
  }
  ASSERT_TRUE(listener->told->wait(kHangMs));
  std::lock_guard<std::mutex> lock(listener->mutex);
  EXPECT_EQ(listener->calls, 1);
  EXPECT_TRUE(listener->finishedAtCall);
  EXPECT_EQ(listener->progressAtCall, 1.0);
  EXPECT_EQ(listener->errorAtCall, N);
  EXPECT_EQ(listener->reported, N);
}

// Lets held completions go when a test leaves early, so that the fleck's destructor,
// which waits for its storers, does not wait forever. Declare it after the fleck.
struct ReleaseAtExit {
  ~ReleaseAtExit() {
    fs->clearRules();
    fs->releaseHeld();
  }
  zel::P<FS> fs;
};

class FleckObjectTest : public FolderTest {
 protected:
  FleckObjectTest() {
    for (const char* side : {"disk", "child", "parent1"})
      fsys::create_directory(path(side));
  }

  std::string fleckPath(const char* side, std::int64_t index) const {
    zel::TArray<int> digits;
    return std::string(side) + "/" +
           CFleck::formRelativeFleckURI(index, 97, 5, 2, digits).toString(false).toUTF8();
  }
  std::unique_ptr<CFleck> open(const char* side = "disk", const char* child = nullptr,
                               std::vector<const char*> parents = {}, int ops = 4) {
    zel::TList<zel::CURI> list;
    for (const char* parent : parents)
      list.add(root.uri() << parent);
    return std::make_unique<CFleck>(fs, root.uri() << side,
                                    child ? root.uri() << child : zel::CURI(), list, header, key(1),
                                    ops);
  }
  std::string recordOf(const std::string& bytes, char keySeed = 1) {
    Buffer record;
    CFleckDataPreparer(header, key(keySeed)).prepareData(buffer(bytes), record);
    return text(record);
  }
  // Writes the fleck's file; a record by default, as the library would.
  void putFleck(const char* side, std::int64_t index, const std::string& bytes, bool raw = false) {
    put(fleckPath(side, index), raw ? bytes : recordOf(bytes));
  }
  // The payload in the fleck's file, "none" when there is no file.
  std::string fileFleck(const char* side, std::int64_t index) {
    if (!fsys::exists(path(fleckPath(side, index)))) return "none";
    Buffer out;
    CFleckDataPreparer(header, key(1))
        .unprepareData(buffer(readFile(path(fleckPath(side, index)))), out);
    return text(out);
  }
  std::string readWhole(CFleck& fleck, std::int64_t index) {
    fleck.seek(index, 0);
    std::string bytes(kFleckSize + 10, '\xEE');
    bytes.resize(std::max(fleck.readLaxInsideFleck(bytes.data(), kFleckSize + 10), 0));
    return bytes;
  }
  void writeWhole(CFleck& fleck, std::int64_t index, const std::string& bytes) {
    fleck.seek(index, 0);
    ASSERT_EQ(fleck.writeLaxInsideFleck(bytes.data(), kFleckSize), kFleckSize);
  }
  // Leaves the current fleck and waits until every save has ended.
  void flush(CFleck& fleck) {
    fleck.seek(fleck.getFleckIndex() + 1000, 0);
    ASSERT_TRUE(fleck.waitUntilBackgroundSavesDone(kHangMs));
  }
  int stores() const { return fs->getCallCount(FS::StoreStreamAsync); }

  const CFleckDiskHeader header = makeHeader();
};

TEST_F(FleckObjectTest, LoadsFromARunningStorersRecordWithoutOpeningAFile) {
  auto fleck = open();
  ReleaseAtExit release{fs};
  putFleck("disk", 7, payload(1));
  fs->addRule(hold(kStore));
  writeWhole(*fleck, 7, payload(2));
  fleck->seek(8, 0);
  ASSERT_TRUE(fs->waitForHeld(1, kHangMs));
  ASSERT_EQ(fleck->getBackgroundSavesInProgress(), 1);
  EXPECT_EQ(readWhole(*fleck, 7), payload(2));
  EXPECT_EQ(fs->getCallCount(FS::OpenStream), 0);
  fs->releaseHeld();
  fleck->waitUntilBackgroundSavesDone(kHangMs);
  EXPECT_EQ(fileFleck("disk", 7), payload(2));
}

// A save waits for a free slot, and for an earlier store of the same fleck.
TEST_F(FleckObjectTest, SavesWaitForAFreeSlotAndForEarlierStoresOfTheFleck) {
  for (bool sameFleck : {false, true}) {
    SCOPED_TRACE(sameFleck ? "same fleck" : "one slot");
    fs = zel::make<FS>(zel::make<zel::CLocalFileSystem>());
    auto fleck = open("disk", nullptr, {}, sameFleck ? 4 : 1);
    ReleaseAtExit release{fs};
    fs->addRule(hold(kStore, 1));
    writeWhole(*fleck, 1, payload(1));
    fleck->seek(2, 0);
    ASSERT_TRUE(fs->waitForHeld(1, kHangMs));
    EXPECT_EQ(fleck->waitForFreeBackgroundOpSlot(0), sameFleck);
    EXPECT_FALSE(fleck->waitUntilBackgroundSavesDone(0));
    writeWhole(*fleck, sameFleck ? 1 : 2, payload(2));
    std::thread second([&] { fleck->seek(3, 0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(stores(), 1);  // the second save has not started
    fs->releaseHeld();
    second.join();
    ASSERT_TRUE(fleck->waitUntilBackgroundSavesDone(kHangMs));
    EXPECT_EQ(fileFleck("disk", sameFleck ? 1 : 2), payload(2));  // the last write wins
    EXPECT_FALSE(fleck->haveBackgroundErrors());
  }
}

TEST_F(FleckObjectTest, AllZeroPayloadRemovesTheFileAndTheDestructorWaitsForSaves) {
  auto fleck = open();
  ReleaseAtExit release{fs};
  writeWhole(*fleck, 9, payload(1));
  writeWhole(*fleck, 8, std::string(kFleckSize, '\1'));  // one byte throughout, but not zero
  flush(*fleck);
  ASSERT_EQ(fileFleck("disk", 9), payload(1));
  EXPECT_EQ(fileFleck("disk", 8), std::string(kFleckSize, '\1'));
  // Partly over the loaded payload: it is zero only when all of it is.
  fleck->seek(9, 0);
  ASSERT_EQ(fleck->writeLaxInsideFleck(payload(0).data(), kFleckSize - 1), kFleckSize - 1);
  ASSERT_EQ(fleck->writeLaxInsideFleck(payload(0).data(), 1), 1);
  flush(*fleck);
  EXPECT_EQ(fileFleck("disk", 9), "none");
  EXPECT_EQ(readWhole(*fleck, 9), payload(0));
  writeWhole(*fleck, 4, payload(4));
  fs->addRule(hold(kStore, 1));
  std::atomic<bool> ended{false};
  std::thread end([&] {
    fleck.reset();
    ended = true;
  });
  EXPECT_TRUE(fs->waitForHeld(1, kHangMs));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(ended);  // the destructor saves the change and waits for it
  fs->releaseHeld();
  end.join();
  EXPECT_EQ(fileFleck("disk", 4), payload(4));
}

// The child keeps what it read (a parent's record too); a fleck loads from the nearest
// folder of the chain that has it, else it is zeros; zeros over a parent's fleck stay.
TEST_F(FleckObjectTest, SavingWithAChildKeepsTheOldContentsThere) {
  putFleck("disk", 9, payload(1));
  putFleck("disk", 12, payload(5));
  putFleck("parent1", 12, payload(6));
  putFleck("parent1", 200, payload(7));
  putFleck("parent1", 300, payload(9));
  {
    auto disk = open("disk", "child", {"parent1"});
    writeWhole(*disk, 9, payload(2));    // the old contents move into the child
    writeWhole(*disk, 11, payload(3));   // nothing old: the child keeps zeros
    writeWhole(*disk, 200, payload(8));  // read from the parent: the child keeps that
    writeWhole(*disk, 300, payload(0));
    flush(*disk);
    writeWhole(*disk, 9, payload(4));  // the child has its snapshot already
    flush(*disk);
    EXPECT_FALSE(disk->haveBackgroundErrors());
    EXPECT_EQ(readWhole(*disk, 300), payload(0));
  }
  EXPECT_EQ(fileFleck("disk", 9), payload(4));
  auto child = open("child", nullptr, {"disk", "parent1"});
  const int opened = fs->getCallCount(FS::OpenStream);
  EXPECT_EQ(readWhole(*child, 9), payload(1));
  EXPECT_EQ(fs->getCallCount(FS::OpenStream), opened + 1);  // its own file, and no other
  EXPECT_EQ(readWhole(*child, 11), payload(0));
  EXPECT_EQ(readWhole(*child, 12), payload(5));  // untouched: read from the parent
  EXPECT_EQ(readWhole(*child, 200), payload(7));
  EXPECT_EQ(readWhole(*child, 13), payload(0));
}

TEST_F(FleckObjectTest, FailedSavesAreCollectedLoggedAndChangeNothing) {
  LogCapture logged;
  putFleck("disk", 3, payload(1));
  fs->addRule({.op = FS::StoreStreamAsync, .throwAtCall = true, .times = 1});
  fs->addRule({.op = FS::StoreStreamAsync, .problem = zel::CFileSystemError::Unsupported});
  auto fleck = open();
  writeWhole(*fleck, 5, payload(5));  // its storer cannot even start: the change is dropped
  writeWhole(*fleck, 3, payload(3));
  EXPECT_EQ(readWhole(*fleck, 5), payload(0));
  flush(*fleck);
  std::vector<std::int64_t> indexes;
  for (const CFleck::Error& e : fleck->getBackgroundErrorList())
    indexes.push_back(e.fleckIndex);
  EXPECT_EQ(indexes, (std::vector<std::int64_t>{5, 3}));
  EXPECT_EQ(logged.getMessages(),
            (std::vector<std::string>{"Error initiating background fleck storing operation.",
                                      "Error during background fleck storing operation."}));
  EXPECT_EQ(fileFleck("disk", 3), payload(1));
  EXPECT_EQ(fileFleck("disk", 5), "none");
}

// Bad files fail the load, logged and naming the fleck; whole-fleck writes read nothing.
TEST_F(FleckObjectTest, BadRecordsFailTheLoadAndNameTheFleck) {
  const std::tuple<const char*, std::string, const char*> cases[] = {
      {"garbage", "not a fleck record", "Fleck file is corrupted."},
      // About one wrong key in 256 unpads cleanly; then the compressor or the payload
      // digest finds the garbage.
      {"another key", recordOf(payload(3), 2), "Decryption failed|lz4 decompress|Decrypted and"},
      {"short payload", recordOf(payload(3, 100)), "Fleck file is corrupted: its record"}};
  for (const auto& [name, bytes, message] : cases) {
    SCOPED_TRACE(name);
    LogCapture logged;
    putFleck("disk", 2, bytes, /*raw=*/true);
    auto fleck = open();
    fleck->seek(2, 10);
    try {
      fleck->readLaxInsideFleck(payload(0).data(), 10);
      ADD_FAILURE() << "read a bad record";
    } catch (const zel::CError& e) {
      const std::string got = e.getMessage().toUTF8();
      bool expected = false;
      for (std::size_t at = 0, bar; !expected && at <= std::strlen(message); at = bar + 1) {
        bar = std::min(std::strlen(message), std::string_view(message).find('|', at));
        expected = got.starts_with(std::string_view(message).substr(at, bar - at));
      }
      EXPECT_TRUE(expected) << e.what();
      EXPECT_EQ(e.getProps().lookup("fleckIndex"), zel::String("2"));
    }
    EXPECT_THROW(fleck->writeLaxInsideFleck("0123456789", 10), zel::CError);
    EXPECT_EQ(fleck->getPositionInFleck(), 10);
    EXPECT_EQ(logged.getMessages().size(), 2u);

    putFleck("disk", 2, payload(7));
    ASSERT_EQ(fleck->writeLaxInsideFleck("0123456789", 10), 10);
    flush(*fleck);
    EXPECT_EQ(fileFleck("disk", 2), payload(7).replace(10, 10, "0123456789"));
    putFleck("disk", 2, bytes, /*raw=*/true);
    writeWhole(*fleck, 2, payload(2));
    flush(*fleck);
    EXPECT_EQ(fileFleck("disk", 2), payload(2));
  }
}

TEST_F(FleckObjectTest, PositionsAndTheEndOfThePayload) {
  putFleck("disk", 1, payload(1));
  auto fleck = open();
  std::string got(100, '\0');
  for (int at : {100, kFleckSize - 6, kFleckSize, kFleckSize + 50}) {
    fleck->seek(1, at);
    const int n = std::clamp(kFleckSize - at, 0, 50);
    ASSERT_EQ(fleck->readLaxInsideFleck(got.data(), 50), n) << at;
    EXPECT_EQ(got.substr(0, n), payload(1).substr(std::min(at, kFleckSize), n));
    EXPECT_EQ(fleck->getPositionInFleck(), at + n);
  }
  EXPECT_EQ(fleck->writeLaxInsideFleck(got.data(), 10), 0);
  flush(*fleck);
  EXPECT_EQ(stores(), 0);  // nothing was written
  fleck->seek(1, kFleckSize - 6);
  ASSERT_EQ(fleck->writeLaxInsideFleck("0123456789abcdef", 16), 6);
  flush(*fleck);
  EXPECT_EQ(fileFleck("disk", 1), payload(1).replace(kFleckSize - 6, 6, "012345"));
  fleck->seek(1, 5);
  EXPECT_THROW(fleck->seek(2, -1), zel::CInvalidArgError);
  EXPECT_EQ(fleck->getFleckIndex() * 1000 + fleck->getPositionInFleck(), 1005);
  EXPECT_THROW(open("disk", nullptr, {}, 0), zel::CInvalidArgError);
}

// A fleck's path follows from its index and the tree geometry alone; an index past the
// tree would wrap around to another fleck's path.
TEST(FleckObjectPathTest, PathsAndTheEndOfTheTree) {
  const std::tuple<std::int64_t, int, int, const char*> cases[] = {
      {97, 97, 5, "flecks/d00/c00/b00/a01/00.fleck"},
      {1000000, 97, 5, "flecks/d00/c01/b09/a1b/1b.fleck"},
      {8587340256, 97, 5, "flecks/d60/c60/b60/a60/60.fleck"},  // the last of 97^5
      {255, 16, 2, "flecks/a0f/0f.fleck"},
      {4095 * 4096 + 7, 4096, 3, "flecks/b0000/a0fff/0007.fleck"}};
  zel::TArray<int> digits;
  for (const auto& [index, perLevel, levels, path] : cases) {
    const int width = CFleck::computeDigitWidth(perLevel);
    EXPECT_EQ(CFleck::formRelativeFleckURI(index, perLevel, levels, width, digits).toString(true),
              zel::String(path));
  }
  EXPECT_THROW(CFleck::formRelativeFleckURI(8587340257, 97, 5, 2, digits), zel::CInvalidArgError);
  EXPECT_THROW(CFleck::formRelativeFleckURI(256, 16, 2, 2, digits), zel::CInvalidArgError);
}

}  // namespace
}  // namespace fleck::test
