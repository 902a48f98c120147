// Making and opening disks: what a new disk holds, what opening refuses and why, how a
// chain is found and read, and the disk's own bounds.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "FleckTestSupport.h"
#include "fleck/CFleckDiskHeader.h"
#include "fleck/CFleckDiskLink.h"
#include "support/TempFolder.h"
#include "zel/CLocalFileSystem.h"

namespace fleck::test {
namespace {

using Bytes = std::vector<unsigned char>;
namespace stdfs = std::filesystem;
constexpr auto kRead = zel::IIOStream::AccessRead;
constexpr auto kWrite = zel::IIOStream::AccessReadWrite;

// Reaches the protected link loader.
struct DiskLinks : CFleckDisk {
  using CFleckDisk::loadLink;
};

class DiskTest : public ::testing::Test {
 protected:
  zel::CURI at(const std::string& name) const { return root.uri() << zel::String::fromUTF8(name); }
  zel::CURI make(const std::string& name, const char* password = "", std::int64_t size = 1 << 20) {
    CFleckDisk::create(fs, at(name), size, 1, password, "lz4", 65536);
    return at(name);
  }
  CFleckDiskHeader header(const zel::CURI& disk) {
    CFleckDiskHeader h;
    h.load(fs, disk);
    return h;
  }
  void link(const zel::CURI& disk, const char* name, const char* target) {
    CFleckDiskLink l;
    l.setTargetURI(zel::CURI(target));
    l.store(fs, disk, name);
  }
  zel::CURI linkOf(const zel::CURI& disk, const char* name) {
    return DiskLinks::loadLink(fs, disk, name);
  }
  zel::CURI resolved(const zel::CURI& disk, const char* name) {
    return (disk << linkOf(disk, name)).toNormalized();
  }
  std::set<std::string> files(const std::string& name) {
    std::set<std::string> found;
    for (const auto& entry : stdfs::recursive_directory_iterator(root.path() + "/" + name))
      if (entry.is_regular_file())
        found.insert(stdfs::relative(entry.path(), root.path() + "/" + name));
    return found;
  }

  TempFolder root;
  zel::P<zel::IFileSystem> fs = zel::make<zel::CLocalFileSystem>();
};

using DiskOpenTest = DiskTest;
using DiskCreateTest = DiskTest;

TEST_F(DiskOpenTest, RefusalsNameTheirCause) {
  make("secret", "pw");
  make("plain");
  CFleckDiskHeader h = header(make("v2"));
  h.setMinWriterVersion(2);
  h.store(fs, at("v2"));
  h = header(make("slow", "pw"));
  h.setCipherKeyDerivationIterations(2147483647);
  h.store(fs, at("slow"));
  link(make("self"), "parent.flecklnk", ".");
  link(make("a"), "parent.flecklnk", "../b");
  link(make("b"), "parent.flecklnk", "../a");
  CFleckDisk::createChild(fs, at("o"), make("gone"), CFleckDisk::ChildDetached);
  stdfs::remove_all(root.path() + "/gone");
  // A writer moves replaced flecks only into a child whose parent link leads back.
  link(make("p"), "child.flecklnk", "../q");
  make("q");
  stdfs::create_directories(root.path() + "/x");
  link(make("r"), "child.flecklnk", "../x");

  const std::string badPassword =
      "disk " + std::to_string(CFleckDiskError::EncryptPasswordIncorrect);
  const std::string loop = "error: Parent link loop detected in fleck disk.";
  const struct {
    const char* disk;
    const char* password;
    zel::IIOStream::Access access;
    std::string expected;  // what whatThrows() starts with
  } cases[] = {
      {"secret", "pw", kWrite, "none"},
      {"secret", "pW", kRead, badPassword},
      {"secret", "", kRead, badPassword},
      {"plain", "x", kRead, badPassword},
      {"v2", "", kRead, "none"},
      {"v2", "", kWrite, "disk " + std::to_string(CFleckDiskError::NewerVersionRequired)},
      {"slow", "pw", kRead, "arg"},
      {"self", "", kRead, loop},
      {"a", "", kRead, loop},
      {"o", "", kRead, "error: Parent disk of fleck disk is missing."},
      {"p", "", kWrite, "error: The child link"},
      {"r", "", kWrite, "error: The child link"},
      {"p", "", kRead, "none"},
  };
  for (const auto& c : cases) {
    const std::string thrown =
        whatThrows([&] { CFleckDisk(fs, at(c.disk), c.password, c.access, 1); });
    EXPECT_EQ(thrown.substr(0, c.expected.size()), c.expected)
        << c.disk << " with " << c.password << ": " << thrown;
  }
  EXPECT_EQ(whatThrows([&] { CFleckDisk(fs, at("plain"), "", kRead, 0); }), "arg");
}

TEST_F(DiskOpenTest, ChildrenReadThroughTheirChainAndWriteOnlyWhenAllowed) {
  const zel::CURI a = at("a");
  const Bytes data = pattern(70000, 5);
  makeDisk(fs, a, 200000, 65536, "", data);  // flecks 0 and 1; 2 and 3 have no file
  CFleckDisk::createChild(fs, at("b"), a, CFleckDisk::ChildLinked);
  CFleckDisk::createChild(fs, at("c"), at("b"), CFleckDisk::ChildLinked);
  CFleckDisk::createChild(fs, at("far") << "d", a, CFleckDisk::ChildDetached);
  for (const zel::CURI& folder : {at("c"), at("far") << "d"}) {
    CFleckDisk disk(fs, folder, "", kWrite, 2);
    EXPECT_EQ(disk.getParentDiskFolders().back(), a);  // nearest first
    Bytes back(200000, 1);
    disk.read(back.data(), 200000);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
    EXPECT_EQ(std::count(back.begin(), back.end(), 0), 200000 - 70000);
  }
  CFleckDisk disk(fs, at("c"), "", kWrite, 2);
  EXPECT_EQ(disk.getParentDiskFolder(), at("b"));
  EXPECT_EQ(whatThrows([&] { disk.write(data.data(), 10); }),
            "error: Cannot write to fleck disk that has a parent disk attached.");
  // Prepared flecks need no permission.
  auto record = zel::make<zel::TBuffer<unsigned char>>();
  disk.createDataPreparer()->prepareData(zel::TBuffer<unsigned char>(data.data(), 65536), *record);
  disk.seek(65536);
  zel::P<CFleckStorer> storer = disk.writePreparedFleckData(record, nullptr);
  EXPECT_TRUE(storer->waitFinished(-1));
  EXPECT_EQ(storer->getError(), nullptr);
  disk.setAllowWritingWithParentDisk(true);
  EXPECT_EQ(whatThrows([&] { disk.write(data.data(), 10); }), "none");

  EXPECT_EQ(CFleckDisk(fs, a, "", kRead, 1).getChildDiskFolder(), at("b"));
  stdfs::remove_all(root.path() + "/b");  // a child that is gone is ignored
  EXPECT_TRUE(CFleckDisk(fs, a, "", kRead, 1).getChildDiskFolder().isEmpty());
}

TEST_F(DiskOpenTest, SeeksAndPreparedWritesStayInsideTheDisk) {
  const zel::CURI folder = make("d", "", 200000);  // the last fleck is partial
  CFleckDisk disk(fs, folder, "", kWrite, 2);
  try {
    disk.seek(200001);
    ADD_FAILURE() << "seek past the end";
  } catch (const zel::CIOError& e) {
    EXPECT_EQ(e.getIOCode(), zel::CIOError::InvalidPosition);
    EXPECT_EQ(e.getProps().lookup("pos"), zel::String("200001"));
    EXPECT_EQ(e.getProps().lookup("size"), zel::String("200000"));
    EXPECT_EQ(e.getProps().lookup("uri"), folder.toString(true));
  }
  EXPECT_EQ(whatThrows([&] { disk.seek(-1); }),
            "io " + std::to_string(zel::CIOError::InvalidPosition));
  auto record = zel::make<zel::TBuffer<unsigned char>>();
  disk.createDataPreparer()->prepareData(
      zel::TBuffer<unsigned char>(pattern(65536, 2).data(), 65536), *record);
  const auto prepared = [&](std::int64_t at) {
    disk.seek(at);
    return whatThrows([&] { disk.writePreparedFleckData(record, nullptr)->waitFinished(-1); });
  };
  EXPECT_EQ(prepared(65537), "io " + std::to_string(zel::CIOError::NotAligned));
  EXPECT_EQ(prepared(200000), "io " + std::to_string(zel::CIOError::SizeExceeded));
  EXPECT_EQ(prepared(196608), "none");
  EXPECT_EQ(disk.getPosition(), 200000);
  CFleckDisk reader(fs, folder, "", kRead, 1);
  EXPECT_EQ(whatThrows([&] { reader.write(record->getData(), 1); }),
            "error: Internal error: CFleckDisk::write was called, but the disk was not opened "
            "for writing.");
}

TEST_F(DiskCreateTest, PlainAndEncryptedDisks) {
  CFleckDisk::create(fs, at("plain"), 1 << 30, 512, "", "zlib-6", -1);
  const CFleckDiskHeader plain = header(at("plain"));
  EXPECT_EQ(plain.getCipherID(), zel::String("null"));
  EXPECT_EQ(plain.getFleckSize(), 524288);  // the default
  EXPECT_EQ(plain.getPayloadBlockSize(), 512);
  unsigned char empty[32];  // the key hash of a plain disk: SHA-256 of no bytes
  EVP_Digest("", 0, empty, nullptr, EVP_sha256(), nullptr);
  EXPECT_EQ(plain.getCipherKeyHash(), zel::TBuffer<unsigned char>(empty, 32));
  EXPECT_EQ(files("plain"), (std::set<std::string>{"disk.fleckdisk", "fallback/disk.fleckdisk"}));
  EXPECT_TRUE(CFleckDisk::isEncryptPasswordCorrect(fs, at("plain"), "", nullptr));
  EXPECT_FALSE(CFleckDisk::isEncryptPasswordCorrect(fs, at("plain"), "secret", nullptr));

  // Each encrypted disk gets its own salt, so the same password makes other keys.
  const zel::CURI a = make("a", "pass word"), b = make("b", "pass word");
  EXPECT_EQ(header(a).getCipherID(), zel::String("aes256cbc"));
  EXPECT_EQ(header(a).getCipherKeyDerivationSalt().getUsed(), 8u);
  EXPECT_EQ(header(a).getCipherKeyDerivationIterations(), 10000);
  EXPECT_FALSE(header(a).getCipherKeyDerivationSalt() == header(b).getCipherKeyDerivationSalt());
  zel::TCryptBuffer<unsigned char> keyA, keyB;
  ASSERT_TRUE(CFleckDisk::isEncryptPasswordCorrect(fs, a, "pass word", &keyA));
  ASSERT_TRUE(CFleckDisk::isEncryptPasswordCorrect(fs, b, "pass word", &keyB));
  EXPECT_EQ(keyA.getUsed(), 32u);
  EXPECT_TRUE(CFleckDisk::isCipherKeyCorrect(fs, a, keyA));
  EXPECT_FALSE(CFleckDisk::isCipherKeyCorrect(fs, a, keyB));
  zel::TCryptBuffer<unsigned char> untouched(keyB);
  EXPECT_FALSE(CFleckDisk::isEncryptPasswordCorrect(fs, a, "pass wore", &untouched));
  EXPECT_TRUE(untouched == keyB);
}

TEST_F(DiskCreateTest, RefusedDisksLeaveNothingAndAFolderWithADiskIsRefused) {
  const std::int64_t maxFlecks = 8587340257;  // what the fleck tree can address
  const struct {
    std::int64_t size;
    const char* compressor;
    int fleckSize;
  } refused[] = {
      {4096, "lz4", 0}, {-5, "lz4", -1}, {4096, "lz5", -1}, {(maxFlecks + 1) * 4096, "lz4", 4096}};
  for (const auto& c : refused) {
    SCOPED_TRACE(c.size);
    EXPECT_NE(whatThrows([&] {
                CFleckDisk::create(fs, at("x"), c.size, 1, "", c.compressor, c.fleckSize);
              }),
              "none");
    EXPECT_FALSE(stdfs::exists(root.path() + "/x/disk.fleckdisk"));
  }
  CFleckDisk::create(fs, at("x"), maxFlecks * 4096, 1, "", "lz4", 4096);
  EXPECT_EQ(whatThrows([&] { make("x"); }),
            "error: Cannot create fleck disk in a folder that already contains one.");
  // Only the fallback copy left: the folder is free, and both copies are written anew.
  stdfs::remove(root.path() + "/x/disk.fleckdisk");
  make("x", "", 8192);
  stdfs::remove(root.path() + "/x/disk.fleckdisk");
  EXPECT_EQ(header(at("x")).getDiskSize(), 8192);
}

// A second linked child goes between the parent and its first child, and the links
// are relative, so that a chain moved as a whole still resolves.
TEST_F(DiskCreateTest, LinkedChildrenGoBetweenAndSurviveAMoveDetachedOnesNameTheirParent) {
  const zel::CURI p = at("old") << "p";
  CFleckDisk::create(fs, p, 1 << 20, 1, "pw", "lz4", -1);
  CFleckDisk::createChild(fs, at("old") << "c0", p, CFleckDisk::ChildLinked);
  CFleckDisk::createChild(fs, at("old") << "c", p, CFleckDisk::ChildLinked);
  EXPECT_EQ(files("old/c"), (std::set<std::string>{"disk.fleckdisk", "fallback/disk.fleckdisk",
                                                   "parent.flecklnk", "fallback/parent.flecklnk",
                                                   "child.flecklnk", "fallback/child.flecklnk"}));
  EXPECT_EQ(linkOf(at("old") << "c", "parent.flecklnk"), zel::CURI("../p"));
  EXPECT_TRUE(CFleckDisk::isEncryptPasswordCorrect(fs, at("old") << "c", "pw", nullptr));

  stdfs::rename(root.path() + "/old", root.path() + "/moved");
  const zel::CURI np = at("moved") << "p", nc = at("moved") << "c", nc0 = at("moved") << "c0";
  EXPECT_EQ(resolved(np, "child.flecklnk"), nc);
  EXPECT_EQ(resolved(nc, "child.flecklnk"), nc0);
  EXPECT_EQ(resolved(nc0, "parent.flecklnk"), nc);
  EXPECT_EQ(resolved(nc, "parent.flecklnk"), np);
  EXPECT_TRUE(linkOf(nc0, "child.flecklnk").isEmpty());
  EXPECT_TRUE(linkOf(np, "parent.flecklnk").isEmpty());

  const std::set<std::string> before = files("moved/p");
  CFleckDisk::createChild(fs, at("d"), np, CFleckDisk::ChildDetached);
  EXPECT_EQ(files("moved/p"), before);
  EXPECT_EQ(linkOf(at("d"), "parent.flecklnk"), np);  // as given, not relative
  EXPECT_TRUE(linkOf(at("d"), "child.flecklnk").isEmpty());
}

TEST_F(DiskCreateTest, ChildErrorsAndDamagedLinks) {
  const zel::CURI p = make("p");
  EXPECT_EQ(whatThrows([&] {
              CFleckDisk::createChild(fs, at("c"), p, static_cast<CFleckDisk::ChildType>(2));
            }),
            "arg");
  EXPECT_TRUE(stdfs::is_empty(root.path() + "/c"));
  EXPECT_EQ(whatThrows([&] {
              CFleckDisk::createChild(fs, at("c"), zel::CURI("s3://bucket/p"),
                                      CFleckDisk::ChildLinked);
            }),
            "error: Parent and child fleck disk must be in same folder hierarchy.");
  CFleckDisk::createChild(fs, at("c"), p, CFleckDisk::ChildLinked);
  EXPECT_EQ(whatThrows([&] { CFleckDisk::createChild(fs, at("c"), p, CFleckDisk::ChildLinked); }),
            "error: Cannot create child fleck disk in a folder that already contains one.");
  EXPECT_EQ(whatThrows([&] {
              CFleckDisk::createChild(fs, at("orphan"), at("none"), CFleckDisk::ChildLinked);
            }),
            "fs " + std::to_string(zel::CFileSystemError::NotFound));

  // A damaged link loads from its second copy; both damaged is not the same as none.
  writeFile(root.path() + "/c/parent.flecklnk", "garbage bytes that fail the digest");
  EXPECT_EQ(resolved(at("c"), "parent.flecklnk"), p);
  writeFile(root.path() + "/c/fallback/parent.flecklnk", "more garbage, still bad");
  EXPECT_NE(whatThrows([&] { linkOf(at("c"), "parent.flecklnk"); }), "none");
}

}  // namespace
}  // namespace fleck::test
