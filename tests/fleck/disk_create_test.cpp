#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <set>
#include <string>

#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskHeader.h"
#include "fleck/CFleckDiskLink.h"
#include "support/TempFolder.h"
#include "zel/CFileSystemError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CLocalFileSystem.h"

namespace fleck {
namespace {

namespace fs_ = std::filesystem;
using fleck::test::TempFolder;

// Reaches the protected link operations.
struct DiskLinks : CFleckDisk {
  using CFleckDisk::loadLink;
};

std::set<std::string> filesBelow(const std::string& root) {
  std::set<std::string> files;
  for (const auto& entry : fs_::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files.insert(fs_::relative(entry.path(), root).string());
  }
  return files;
}

class DiskCreateTest : public ::testing::Test {
 protected:
  CFleckDiskHeader loadHeader(const zel::CURI& disk) {
    CFleckDiskHeader header;
    header.load(fs, disk);
    return header;
  }
  zel::CURI link(const zel::CURI& disk, const char* name) {
    return DiskLinks::loadLink(fs, disk, name);
  }
  zel::CURI resolved(const zel::CURI& disk, const char* name) {
    return (disk << link(disk, name)).toNormalized();
  }

  TempFolder root;
  zel::P<zel::IFileSystem> fs = zel::make<zel::CLocalFileSystem>();
};

TEST_F(DiskCreateTest, UnencryptedDisk) {
  const zel::CURI disk = root.uri() << "plain";
  CFleckDisk::create(fs, disk, 1 << 30, 512, "", "zlib-6", -1);
  const CFleckDiskHeader header = loadHeader(disk);
  EXPECT_EQ(header.getCipherID(), zel::String("null"));
  EXPECT_EQ(header.getFleckSize(), 524288);  // the default
  EXPECT_EQ(header.getPayloadBlockSize(), 512);
  // The key hash of an unencrypted disk is SHA-256 of zero bytes.
  unsigned char empty[32];
  EVP_Digest("", 0, empty, nullptr, EVP_sha256(), nullptr);
  EXPECT_EQ(header.getCipherKeyHash(), zel::TBuffer<unsigned char>(empty, 32));
  EXPECT_EQ(filesBelow(root.path() + "/plain"),
            (std::set<std::string>{"disk.fleckdisk", "fallback/disk.fleckdisk"}));

  EXPECT_TRUE(CFleckDisk::isEncryptPasswordCorrect(fs, disk, "", nullptr));
  EXPECT_FALSE(CFleckDisk::isEncryptPasswordCorrect(fs, disk, "secret", nullptr));
}

TEST_F(DiskCreateTest, EncryptedDisksGetTheirOwnSaltKeyAndKeyHash) {
  const zel::CURI a = root.uri() << "a";
  const zel::CURI b = root.uri() << "b";
  CFleckDisk::create(fs, a, 1 << 20, 1, "pass word", "lz4", 65536);
  CFleckDisk::create(fs, b, 1 << 20, 1, "pass word", "lz4", 65536);
  const CFleckDiskHeader ha = loadHeader(a);
  const CFleckDiskHeader hb = loadHeader(b);
  EXPECT_EQ(ha.getCipherID(), zel::String("aes256cbc"));
  EXPECT_EQ(ha.getCipherKeyDerivationSalt().getUsed(), 8u);
  EXPECT_EQ(ha.getCipherKeyDerivationIterations(), 10000);
  EXPECT_EQ(ha.getFleckSize(), 65536);
  EXPECT_FALSE(ha.getCipherKeyDerivationSalt() == hb.getCipherKeyDerivationSalt());
  EXPECT_FALSE(ha.getCipherKeyHash() == hb.getCipherKeyHash());

  zel::TCryptBuffer<unsigned char> keyA, keyB;
  ASSERT_TRUE(CFleckDisk::isEncryptPasswordCorrect(fs, a, "pass word", &keyA));
  ASSERT_TRUE(CFleckDisk::isEncryptPasswordCorrect(fs, b, "pass word", &keyB));
  EXPECT_EQ(keyA.getUsed(), 32u);
  EXPECT_FALSE(keyA == keyB);
  EXPECT_TRUE(CFleckDisk::isCipherKeyCorrect(fs, a, keyA));
  EXPECT_FALSE(CFleckDisk::isCipherKeyCorrect(fs, a, keyB));

  zel::TCryptBuffer<unsigned char> untouched(reinterpret_cast<const unsigned char*>("x"), 1);
  EXPECT_FALSE(CFleckDisk::isEncryptPasswordCorrect(fs, a, "pass wore", &untouched));
  EXPECT_EQ(untouched.getUsed(), 1u);
}

TEST_F(DiskCreateTest, RefusesAFolderWithADiskButNotOneWithOnlyAFallbackHeader) {
  const zel::CURI disk = root.uri() << "d";
  CFleckDisk::create(fs, disk, 4096, 1, "", "lz4", -1);
  try {
    CFleckDisk::create(fs, disk, 4096, 1, "", "lz4", -1);
    FAIL();
  } catch (const zel::CError& e) {
    EXPECT_EQ(e.getMessage(),
              zel::String("Cannot create fleck disk in a folder that already contains one."));
    EXPECT_EQ(e.getProps().lookup("diskFolder"), disk.toString(true));
  }
  fs_::remove(root.path() + "/d/disk.fleckdisk");
  CFleckDisk::create(fs, disk, 8192, 1, "", "lz4", -1);
  EXPECT_EQ(loadHeader(disk).getDiskSize(), 8192);
  fs_::remove(root.path() + "/d/disk.fleckdisk");
  EXPECT_EQ(loadHeader(disk).getDiskSize(), 8192);  // the fallback copy was rewritten too
}

TEST_F(DiskCreateTest, RefusesSizesThatCannotBeMapped) {
  EXPECT_THROW(CFleckDisk::create(fs, root.uri() << "x", 4096, 1, "", "lz4", 0),
               zel::CInvalidArgError);
  EXPECT_THROW(CFleckDisk::create(fs, root.uri() << "x", -5, 1, "", "lz4", -1),
               zel::CInvalidArgError);
  // A disk that could not be opened is not made.
  EXPECT_THROW(CFleckDisk::create(fs, root.uri() << "x", 4096, 1, "", "lz5", -1), zel::CError);
  EXPECT_THROW(CFleckDisk::create(fs, root.uri() << "x", (std::int64_t{8587340257} + 1) * 4096, 1,
                                  "", "lz4", 4096),
               zel::CInvalidArgError);
  EXPECT_FALSE(fs_::exists(root.path() + "/x/disk.fleckdisk"));
  CFleckDisk::create(fs, root.uri() << "x", std::int64_t{8587340257} * 4096, 1, "", "lz4", 4096);
}

TEST_F(DiskCreateTest, LinkedChildOfADiskWithoutAChild) {
  const zel::CURI parent = root.uri() << "p";
  const zel::CURI child = root.uri() << "snapshots"
                                     << "c";
  CFleckDisk::create(fs, parent, 1 << 20, 1, "pw", "lz4", -1);
  CFleckDisk::createChild(fs, child, parent, CFleckDisk::ChildLinked);

  EXPECT_EQ(filesBelow(root.path() + "/p"),
            (std::set<std::string>{"disk.fleckdisk", "fallback/disk.fleckdisk", "child.flecklnk",
                                   "fallback/child.flecklnk"}));
  EXPECT_EQ(filesBelow(root.path() + "/snapshots/c"),
            (std::set<std::string>{"disk.fleckdisk", "fallback/disk.fleckdisk", "parent.flecklnk",
                                   "fallback/parent.flecklnk"}));
  EXPECT_EQ(link(child, "parent.flecklnk"), zel::CURI("../../p"));
  EXPECT_EQ(link(parent, "child.flecklnk"), zel::CURI("../snapshots/c"));
  EXPECT_EQ(resolved(child, "parent.flecklnk"), parent);
  EXPECT_EQ(resolved(parent, "child.flecklnk"), child);
  // The child opens with the parent's password.
  EXPECT_TRUE(CFleckDisk::isEncryptPasswordCorrect(fs, child, "pw", nullptr));
  EXPECT_EQ(loadHeader(child).getCipherKeyHash(), loadHeader(parent).getCipherKeyHash());
}

TEST_F(DiskCreateTest, DetachedChildOnlyNamesItsParent) {
  const zel::CURI p = root.uri() << "p";
  const zel::CURI c = root.uri() << "c";
  CFleckDisk::create(fs, p, 1 << 20, 1, "", "lz4", -1);
  const auto before = filesBelow(root.path() + "/p");
  CFleckDisk::createChild(fs, c, p, CFleckDisk::ChildDetached);
  EXPECT_EQ(filesBelow(root.path() + "/p"), before);
  EXPECT_EQ(link(c, "parent.flecklnk"), p);  // as given, not relative
  EXPECT_TRUE(link(c, "child.flecklnk").isEmpty());
}

TEST_F(DiskCreateTest, ChildErrors) {
  const zel::CURI p = root.uri() << "p";
  CFleckDisk::create(fs, p, 1 << 20, 1, "", "lz4", -1);

  try {
    CFleckDisk::createChild(fs, root.uri() << "c", p, static_cast<CFleckDisk::ChildType>(2));
    FAIL();
  } catch (const zel::CInvalidArgError& e) {
    EXPECT_EQ(e.getMessage(), zel::String("Invalid childType: 2"));
    EXPECT_EQ(e.getSource(), zel::String("CFleckDisk::createChild"));
  }
  EXPECT_TRUE(fs_::is_directory(root.path() + "/c"));
  EXPECT_TRUE(fs_::is_empty(root.path() + "/c"));

  try {
    CFleckDisk::createChild(fs, root.uri() << "c", zel::CURI("s3://bucket/p"),
                            CFleckDisk::ChildLinked);
    FAIL();
  } catch (const zel::CError& e) {
    EXPECT_EQ(e.getMessage(),
              zel::String("Parent and child fleck disk must be in same folder hierarchy."));
    EXPECT_NE(e.getCause(), nullptr);
    ASSERT_EQ(e.getProps().size(), 3u);
    EXPECT_EQ(e.getProps()[0].first, zel::String("childDiskFolder"));
    EXPECT_EQ(e.getProps()[1].first, zel::String("parentDiskFolder"));
    EXPECT_EQ(e.getProps()[2].second, zel::String("CFleckDisk::createChild"));
  }

  CFleckDisk::createChild(fs, root.uri() << "c", p, CFleckDisk::ChildLinked);
  try {
    CFleckDisk::createChild(fs, root.uri() << "c", p, CFleckDisk::ChildLinked);
    FAIL();
  } catch (const zel::CError& e) {
    EXPECT_EQ(e.getMessage(),
              zel::String("Cannot create child fleck disk in a folder that already contains one."));
  }

  // A parent without a header: the loader's not-found error comes through.
  EXPECT_THROW(CFleckDisk::createChild(fs, root.uri() << "orphan", root.uri() << "none",
                                       CFleckDisk::ChildLinked),
               zel::CFileSystemError);
}

// A second linked child goes between the parent and its first child (P -> C -> C0 by
// child links, C0 -> C -> P by parent links), and the links are relative, so that the
// chain moved as a whole still resolves.
TEST_F(DiskCreateTest, SecondChildGoesBetweenAndAChainMovedAsAWholeStillResolves) {
  const zel::CURI p = root.uri() << "old"
                                 << "p";
  CFleckDisk::create(fs, p, 1 << 20, 1, "", "lz4", -1);
  CFleckDisk::createChild(fs,
                          root.uri() << "old"
                                     << "c0",
                          p, CFleckDisk::ChildLinked);
  CFleckDisk::createChild(fs,
                          root.uri() << "old"
                                     << "c",
                          p, CFleckDisk::ChildLinked);

  fs_::rename(root.path() + "/old", root.path() + "/moved");
  const zel::CURI np = root.uri() << "moved"
                                  << "p";
  const zel::CURI nc = root.uri() << "moved"
                                  << "c";
  const zel::CURI nc0 = root.uri() << "moved"
                                   << "c0";
  EXPECT_EQ(resolved(np, "child.flecklnk"), nc);
  EXPECT_EQ(resolved(nc, "child.flecklnk"), nc0);
  EXPECT_EQ(resolved(nc0, "parent.flecklnk"), nc);
  EXPECT_EQ(resolved(nc, "parent.flecklnk"), np);
  EXPECT_TRUE(link(nc0, "child.flecklnk").isEmpty());
  EXPECT_TRUE(link(np, "parent.flecklnk").isEmpty());
}

TEST_F(DiskCreateTest, DamagedPrimaryLinkLoadsFromFallback) {
  const zel::CURI p = root.uri() << "p";
  const zel::CURI c = root.uri() << "c";
  CFleckDisk::create(fs, p, 1 << 20, 1, "", "lz4", -1);
  CFleckDisk::createChild(fs, c, p, CFleckDisk::ChildLinked);
  fleck::test::writeFile(root.path() + "/c/parent.flecklnk", "garbage bytes that fail the digest");
  EXPECT_EQ(resolved(c, "parent.flecklnk"), p);
  fleck::test::writeFile(root.path() + "/c/fallback/parent.flecklnk", "more garbage bytes, still bad");
  EXPECT_THROW(link(c, "parent.flecklnk"), zel::CError);  // damaged is not absent
}

}  // namespace
}  // namespace fleck
