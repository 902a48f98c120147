// Making, opening and chaining disks: what opening refuses and why, and what a chain
// promises every writer, case by case and by random operations on a model.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "FleckTestSupport.h"
#include "fleck/CFleckDiskHeader.h"
#include "fleck/CFleckDiskLink.h"
#include "fleck/CFleckDiskLock.h"
#include "support/CFaultInjectingFileSystem.h"
#include "support/FolderSnapshot.h"
#include "support/TempFolder.h"
#include "zel/CLocalFileSystem.h"

namespace fleck::test {
namespace {

namespace stdfs = std::filesystem;
using Bytes = std::vector<unsigned char>;
constexpr auto kRead = zel::IIOStream::AccessRead;
constexpr auto kWrite = zel::IIOStream::AccessReadWrite;
constexpr int kFleck = 4096;

std::string io(zel::CIOError::Code code) {
  return "io " + std::to_string(code);
}

// Reaches the protected link loader.
struct DiskLinks : CFleckDisk {
  using CFleckDisk::loadLink;
};

class DiskTest : public ::testing::Test {
 protected:
  zel::CURI at(const char* name) const { return root.uri() << name; }
  zel::CURI newDisk(const char* name, const char* password = "", std::int64_t size = 8 * kFleck) {
    makeDisk(fs, at(name), size, kFleck, password);
    return at(name);
  }
  zel::CURI child(const char* name, const zel::CURI& parent,
                  CFleckDisk::ChildType type = CFleckDisk::ChildLinked) {
    CFleckDisk::createChild(fs, at(name), parent, type);
    return at(name);
  }
  // Writes `bytes` at fleck `index` (+ offset) through the disk's byte I/O.
  void write(const zel::CURI& folder, int index, const Bytes& bytes, int offset = 0) {
    CFleckDisk d(fs, folder, "", kWrite, 2);
    d.setAllowWritingWithParentDisk(true);
    d.seek(std::int64_t{index} * kFleck + offset);
    d.write(bytes.data(), static_cast<int>(bytes.size()));
  }
  Bytes read(const zel::CURI& folder, int index) {
    CFleckDisk d(fs, folder, "", kRead, 1);
    Bytes out(kFleck);
    d.seek(std::int64_t{index} * kFleck);
    d.read(out.data(), kFleck);
    return out;
  }
  std::string fleckPath(const zel::CURI& folder, int index) {
    zel::P<CFleck> fleck = CFleckDisk(fs, folder, "", kRead, 1).newStandAloneFleckObject();
    fleck->seek(index, 0);
    return (folder << fleck->getRelativeFleckURI()).toLocalPath();
  }
  bool hasFile(const zel::CURI& folder, int index) {
    return stdfs::exists(fleckPath(folder, index));
  }
  zel::CURI rawLink(const zel::CURI& folder, const char* name) {
    return DiskLinks::loadLink(fs, folder, name);
  }
  zel::CURI linkOf(const zel::CURI& folder, const char* name) {
    return (folder << rawLink(folder, name)).toNormalized();
  }
  void setLink(const zel::CURI& folder, const char* name, const char* target) {
    CFleckDiskLink link;
    link.setTargetURI(zel::CURI(target));
    link.store(fs, folder, name);
  }
  CFleckDiskHeader header(const zel::CURI& folder) {
    CFleckDiskHeader h;
    h.load(fs, folder);
    return h;
  }

  TempFolder root;
  zel::P<CFaultInjectingFileSystem> fs = zel::make<CFaultInjectingFileSystem>(
      zel::make<zel::CLocalFileSystem>(), seedFromEnvironment(1));
  const Bytes zeros = Bytes(kFleck, 0);
};

using DiskOpenTest = DiskTest;
using DiskCreateTest = DiskTest;
using ChainRulesTest = DiskTest;

TEST_F(DiskOpenTest, RefusalsNameTheirCause) {
  newDisk("secret", "pw");
  newDisk("plain");
  CFleckDiskHeader h = header(newDisk("v2"));
  h.setMinWriterVersion(2);
  h.store(fs, at("v2"));
  h = header(newDisk("slow", "pw"));
  h.setCipherKeyDerivationIterations(2147483647);
  h.store(fs, at("slow"));
  setLink(newDisk("self"), "parent.flecklnk", ".");
  setLink(newDisk("a"), "parent.flecklnk", "../b");
  setLink(newDisk("b"), "parent.flecklnk", "../a");
  child("o", newDisk("gone"), CFleckDisk::ChildDetached);
  stdfs::remove_all(root.path() + "/gone");
  // A writer moves replaced flecks only into a child whose parent link leads back.
  setLink(newDisk("p"), "child.flecklnk", "../q");
  newDisk("q");
  stdfs::create_directories(root.path() + "/x");
  setLink(newDisk("r"), "child.flecklnk", "../x");

  const std::string badPassword =
      "disk " + std::to_string(CFleckDiskError::EncryptPasswordIncorrect);
  const std::string loop = "error: Parent link loop detected in fleck disk.";
  // Disk, password, access, what whatThrows() starts with.
  const std::tuple<const char*, const char*, zel::IIOStream::Access, std::string> cases[] = {
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
  for (const auto& [name, password, access, expected] : cases) {
    const std::string thrown = whatThrows([&] { CFleckDisk(fs, at(name), password, access, 1); });
    EXPECT_EQ(thrown.substr(0, expected.size()), expected)
        << name << " with " << password << ": " << thrown;
  }
  EXPECT_EQ(whatThrows([&] { CFleckDisk(fs, at("plain"), "", kRead, 0); }), "arg");
  CFleckDisk::OpenOptions options;
  options.allowMissingParents = true;  // then the parent reads as zeros
  EXPECT_EQ(whatThrows([&] { CFleckDisk(fs, at("o"), "", kRead, 1, options); }), "none");
}

TEST_F(DiskOpenTest, WritesStayInsideTheDiskAndChildrenWriteOnlyWhenAllowed) {
  constexpr std::int64_t kSize = 3 * kFleck + 1000;  // the last fleck is partial
  const zel::CURI a = newDisk("a", "", kSize);
  CFleckDisk d(fs, child("c", child("b", a)), "", kWrite, 2);
  EXPECT_EQ(d.getParentDiskFolder(), at("b"));  // nearest first
  EXPECT_EQ(d.getParentDiskFolders().back(), a);
  for (std::int64_t bad : {std::int64_t{-1}, kSize + 1})
    EXPECT_EQ(whatThrows([&] { d.seek(bad); }), io(zel::CIOError::InvalidPosition));
  const Bytes data = pattern(kFleck, 5);
  EXPECT_EQ(whatThrows([&] { d.write(data.data(), 10); }),
            "error: Cannot write to fleck disk that has a parent disk attached.");
  // Prepared flecks need no permission, only a fleck's start inside the disk.
  auto record = zel::make<zel::TBuffer<unsigned char>>();
  d.createDataPreparer()->prepareData(zel::TBuffer<unsigned char>(data.data(), kFleck), *record);
  const auto prepared = [&](std::int64_t position) {
    d.seek(position);
    return whatThrows([&] {
      zel::P<CFleckStorer> storer = d.writePreparedFleckData(record, nullptr);
      EXPECT_TRUE(storer->waitFinished(-1));
      EXPECT_EQ(storer->getError(), nullptr);
    });
  };
  EXPECT_EQ(prepared(kFleck + 1), io(zel::CIOError::NotAligned));
  EXPECT_EQ(prepared(kSize), io(zel::CIOError::SizeExceeded));
  EXPECT_EQ(prepared(3 * kFleck), "none");
  EXPECT_EQ(d.getPosition(), kSize);
  d.setAllowWritingWithParentDisk(true);
  d.seek(0);
  EXPECT_EQ(whatThrows([&] { d.write(data.data(), 10); }), "none");
  CFleckDisk reader(fs, a, "", kRead, 1);
  EXPECT_EQ(whatThrows([&] { reader.write(data.data(), 1); }),
            "error: Internal error: CFleckDisk::write was called, but the disk was not opened for "
            "writing.");
  EXPECT_EQ(reader.getChildDiskFolder(), at("b"));
  stdfs::remove_all(root.path() + "/b");  // a child that is gone is ignored
  EXPECT_TRUE(CFleckDisk(fs, a, "", kRead, 1).getChildDiskFolder().isEmpty());
}

TEST_F(DiskCreateTest, NewDisksAndRefusedOnes) {
  CFleckDisk::create(fs, at("plain"), 1 << 30, 512, "", "zlib-6", -1);
  const CFleckDiskHeader plain = header(at("plain"));
  EXPECT_EQ(plain.getFleckSize(), 524288);  // the default
  EXPECT_EQ(plain.getCipherID(), zel::String("null"));
  unsigned char empty[32];  // the key hash of a plain disk: SHA-256 of no bytes
  EVP_Digest("", 0, empty, nullptr, EVP_sha256(), nullptr);
  EXPECT_EQ(plain.getCipherKeyHash(), zel::TBuffer<unsigned char>(empty, 32));
  // Each encrypted disk gets its own salt, so the same password makes other keys.
  const CFleckDiskHeader a = header(newDisk("a", "pass word")),
                         b = header(newDisk("b", "pass word"));
  EXPECT_FALSE(a.getCipherKeyDerivationSalt() == b.getCipherKeyDerivationSalt());
  EXPECT_FALSE(a.getCipherKeyHash() == b.getCipherKeyHash());

  const std::int64_t maxFlecks = 8587340257;  // what the fleck tree can address
  const std::tuple<std::int64_t, const char*, int> refused[] = {
      {4096, "lz4", 0}, {-5, "lz4", -1}, {4096, "lz5", -1}, {(maxFlecks + 1) * 4096, "lz4", 4096}};
  for (const auto& [size, compressor, fleckSize] : refused) {
    EXPECT_NE(
        whatThrows([&] { CFleckDisk::create(fs, at("x"), size, 1, "", compressor, fleckSize); }),
        "none")
        << size;
    EXPECT_FALSE(stdfs::exists(root.path() + "/x/disk.fleckdisk"));
  }
  CFleckDisk::create(fs, at("x"), maxFlecks * 4096, 1, "", "lz4", 4096);
  EXPECT_EQ(whatThrows([&] { newDisk("x"); }),
            "error: Cannot create fleck disk in a folder that already contains one.");
  // Only the fallback copy left: the folder is free, and both copies are written anew.
  stdfs::remove(root.path() + "/x/disk.fleckdisk");
  newDisk("x", "", 8192);
  stdfs::remove(root.path() + "/x/disk.fleckdisk");
  EXPECT_EQ(header(at("x")).getDiskSize(), 8192);
}

// A second linked child goes between the parent and its first child; relative links
// keep a chain moved as a whole working.
TEST_F(DiskCreateTest, ChildLinks) {
  const zel::CURI p = at("old") << "p";
  makeDisk(fs, p, 1 << 20, kFleck);
  CFleckDisk::createChild(fs, at("old") << "c0", p, CFleckDisk::ChildLinked);
  CFleckDisk::createChild(fs, at("old") << "c", p, CFleckDisk::ChildLinked);
  EXPECT_EQ(rawLink(at("old") << "c", "parent.flecklnk"), zel::CURI("../p"));
  stdfs::rename(root.path() + "/old", root.path() + "/moved");
  const zel::CURI np = at("moved") << "p", nc = at("moved") << "c", nc0 = at("moved") << "c0";
  EXPECT_EQ(linkOf(np, "child.flecklnk"), nc);
  EXPECT_EQ(linkOf(nc, "child.flecklnk"), nc0);
  EXPECT_EQ(linkOf(nc0, "parent.flecklnk"), nc);
  EXPECT_EQ(linkOf(nc, "parent.flecklnk"), np);

  // A detached child names its parent as given and leaves it as it is.
  const auto before = snapshotFolder(np.toLocalPath());
  child("d", np, CFleckDisk::ChildDetached);
  EXPECT_EQ(snapshotFolder(np.toLocalPath()), before);
  EXPECT_EQ(rawLink(at("d"), "parent.flecklnk"), np);

  EXPECT_EQ(whatThrows([&] { child("e", zel::CURI("s3://bucket/p")); }),
            "error: Parent and child fleck disk must be in same folder hierarchy.");
  EXPECT_EQ(whatThrows([&] { child("d", np); }),
            "error: Cannot create child fleck disk in a folder that already contains one.");
}

TEST_F(ChainRulesTest, ZerosWrittenOverAParentStayZeros) {
  const zel::CURI parent = newDisk("p");
  for (int i = 0; i < 4; ++i)
    write(parent, i, pattern(kFleck, 10 + i));
  const zel::CURI overlay = child("o", parent, CFleckDisk::ChildDetached);
  write(overlay, 5, pattern(kFleck, 50));  // a fleck only the overlay holds
  // Every way a fleck becomes zeros: a whole zero fleck, partial writes that zero what
  // the parent had, and an all-zero prepared record (null).
  write(overlay, 0, zeros);
  write(overlay, 1, Bytes(kFleck / 2, 0));
  write(overlay, 1, Bytes(kFleck / 2, 0), kFleck / 2);
  {
    CFleckDisk d(fs, overlay, "", kWrite, 2);
    for (int i : {2, 5}) {
      d.seek(std::int64_t{i} * kFleck);
      d.writePreparedFleckData(nullptr, nullptr);
    }
  }
  for (int i : {0, 1, 2, 5})
    EXPECT_EQ(read(overlay, i), zeros) << "fleck " << i;
  EXPECT_EQ(read(overlay, 3), pattern(kFleck, 13));
  // Over the parent's data a zero record stays; elsewhere the file goes.
  EXPECT_TRUE(hasFile(overlay, 0));
  EXPECT_FALSE(hasFile(overlay, 5));
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(read(parent, i), pattern(kFleck, 10 + i));
}

TEST_F(ChainRulesTest, DiskInTheMiddleGivesItsChildWhatTheChildRead) {
  const zel::CURI p = newDisk("p");
  write(p, 1, pattern(kFleck, 1));
  write(p, 2, pattern(kFleck, 2));
  const zel::CURI m = child("m", p);
  const zel::CURI c = child("c", m);
  const Bytes patch = pattern(512, 99);
  write(m, 1, patch, 100);          // m lacks fleck 1: its bytes come from p
  write(m, 2, zeros);               // zeros over p's data
  write(m, 3, pattern(kFleck, 3));  // nobody had fleck 3: the child keeps zeros
  Bytes patched = pattern(kFleck, 1);
  std::copy(patch.begin(), patch.end(), patched.begin() + 100);
  EXPECT_EQ(read(m, 1), patched);
  EXPECT_EQ(read(m, 2), zeros);
  EXPECT_EQ(read(c, 1), pattern(kFleck, 1));
  EXPECT_EQ(read(c, 2), pattern(kFleck, 2));
  EXPECT_EQ(read(c, 3), zeros);
  EXPECT_EQ(read(p, 1), pattern(kFleck, 1));

  // A link in the parent's tree is not followed to hand its target to the child.
  const std::string outside = root.path() + "/outside";
  stdfs::copy_file(fleckPath(p, 1), outside);
  stdfs::create_symlink(outside, fleckPath(p, 4));
  {
    LogCapture quiet;
    CFleckDisk d(fs, m, "", kWrite, 1);
    d.setAllowWritingWithParentDisk(true);
    d.seek(4 * kFleck);
    d.write(pattern(kFleck, 4).data(), kFleck);
    d.flushChanges();
    EXPECT_TRUE(d.haveBackgroundErrors());
  }
  EXPECT_FALSE(hasFile(c, 4));
}

TEST_F(ChainRulesTest, OneWriterPerDisk) {
  const zel::CURI d = newDisk("d");
  {
    CFleckDisk writer(fs, d, "", kWrite, 2);
    // Another disk object counts as another writer, and so does making a linked child.
    const std::string inUse = "disk " + std::to_string(CFleckDiskError::InUseByAnotherWriter);
    EXPECT_EQ(whatThrows([&] { CFleckDisk(fs, d, "", kWrite, 1); }), inUse);
    EXPECT_EQ(whatThrows([&] { child("late", d); }), inUse);
    EXPECT_FALSE(stdfs::exists(root.path() + "/late/disk.fleckdisk"));
    CFleckDisk reader(fs, d, "", kRead, 1);  // readers take no lock
  }
  EXPECT_FALSE(stdfs::exists(CFleckDiskLock::getLockURI(d).toLocalPath()));  // released
  CFleckDisk again(fs, d, "", kWrite, 1);                                    // free again
}

// A child creation that fails at any of its writes leaves the chain as it was, and the
// next try works.
TEST_F(ChainRulesTest, FailedChildCreationLeavesTheChainAsItWas) {
  const zel::CURI p = newDisk("p");
  write(p, 0, pattern(kFleck, 1));
  const zel::CURI older = child("c0", p);
  // Every open of the file fails (reads fall back to the second copy): the failure
  // hits whatever write comes first.
  for (const char* fails :
       {"/n/disk.fleckdisk", "/n/parent.flecklnk", "/c0/parent.flecklnk", "/p/child.flecklnk"}) {
    SCOPED_TRACE(fails);
    fs->addRule({.op = CFaultInjectingFileSystem::OpenStream, .pathContains = fails});
    EXPECT_NE(whatThrows([&] { child("n", p); }), "none");
    fs->clearRules();
    EXPECT_EQ(linkOf(p, "child.flecklnk"), older);
    EXPECT_EQ(linkOf(older, "parent.flecklnk"), p);
    EXPECT_FALSE(stdfs::exists(root.path() + "/n"));
    // The older snapshot keeps working: the parent still hands its flecks to it.
    write(p, 0, pattern(kFleck, 2));
    EXPECT_EQ(read(older, 0), pattern(kFleck, 1));
  }
  child("n", p);
  EXPECT_EQ(linkOf(p, "child.flecklnk"), at("n"));
  EXPECT_EQ(linkOf(older, "parent.flecklnk"), at("n"));
  EXPECT_EQ(linkOf(at("n"), "child.flecklnk"), older);

  // A crash between the last two writes leaves the parent's link on the older child;
  // the parent's next writer finishes the creation.
  child("m", p);
  setLink(p, "child.flecklnk", "../n");
  EXPECT_EQ(CFleckDisk(fs, p, "", kWrite, 1).getChildDiskFolder(), at("m"));
  EXPECT_EQ(linkOf(p, "child.flecklnk"), at("m"));
}

// Random writes, reads, flushes, reopenings and snapshots against a byte array per
// disk. (Faults on the way are the fault soak's subject.)
class DiskModelTest : public DiskTest, public ::testing::WithParamInterface<unsigned> {};

TEST_P(DiskModelTest, RandomOperationsOnAChainMatchTheModel) {
  const unsigned seed = seedFromEnvironment(GetParam());
  SCOPED_TRACE("seed " + std::to_string(seed) + " (set FLECK_TEST_SEED to repeat)");
  std::mt19937_64 random(seed);
  const auto pick = [&](std::int64_t limit) {
    return std::uniform_int_distribution<std::int64_t>(0, limit)(random);
  };
  constexpr std::int64_t kSize = 40 * kFleck + 123;  // the last fleck is partial
  const char* password = seed % 2 == 0 ? "" : "pw";
  const zel::CURI head = newDisk("disk", password, kSize);
  std::map<zel::CURI, Bytes> model{{head, Bytes(kSize, 0)}};
  std::unique_ptr<CFleckDisk> disk;
  const auto reopen = [&] {
    disk.reset();
    disk = std::make_unique<CFleckDisk>(fs, head, password, kWrite, 3);
  };
  const auto check = [&](CFleckDisk& which, const Bytes& expected, bool whole) {
    const std::int64_t position = whole ? 0 : pick(kSize);
    const std::int64_t n =
        whole ? kSize : pick(std::min<std::int64_t>(3 * kFleck, kSize - position));
    Bytes bytes(static_cast<std::size_t>(n));
    which.seek(position);
    which.read(bytes.data(), static_cast<int>(n));
    const auto diff = std::mismatch(bytes.begin(), bytes.end(), expected.begin() + position);
    ASSERT_TRUE(diff.first == bytes.end())
        << "first difference at byte " << position + (diff.first - bytes.begin()) << " of "
        << which.getDiskFolder().toString(true);
  };
  const auto checkSnapshots = [&] {
    disk->flushChanges();  // the head's saves move old flecks into its child
    for (const auto& [folder, expected] : model) {
      if (folder == head) continue;
      CFleckDisk snap(fs, folder, password, kRead, 1);
      const bool whole = pick(3) == 0;
      for (int i = 0; i < (whole ? 1 : 3); ++i)
        check(snap, expected, whole);
    }
  };
  reopen();
  for (int step = 0; step < 300 / kModelStepDivisor && !HasFailure(); ++step) {
    const int op = static_cast<int>(pick(9));
    if (op <= 3) {
      // Now and then a whole fleck, which replaces it without loading it; zeros, runs
      // or noise.
      const std::int64_t position = pick(kSize);
      const bool whole = pick(4) == 0 && kSize - position >= kFleck;
      const std::int64_t from = whole ? position - position % kFleck : position;
      Bytes bytes(static_cast<std::size_t>(
          whole ? kFleck : pick(std::min<std::int64_t>(3 * kFleck, kSize - position))));
      const int kind = static_cast<int>(pick(2));
      for (auto& b : bytes)
        b = static_cast<unsigned char>(kind == 0 ? 0 : kind == 1 ? pick(2) : random());
      disk->seek(from);
      disk->write(bytes.data(), static_cast<int>(bytes.size()));
      std::copy(bytes.begin(), bytes.end(), model[head].begin() + from);
    } else if (op <= 5) {
      check(*disk, model[head], false);
    } else if (op == 6) {
      disk->flushChanges();
    } else if (op == 7) {
      reopen();
    } else if (model.size() < 4 && pick(2) == 0) {
      // A linked child of the head, made by the open writer or beside it.
      const zel::CURI snap = at(("snap" + std::to_string(model.size())).c_str());
      if (pick(1) == 0) {
        disk->createSnapshot(snap);
      } else {
        disk.reset();  // the head learns of its new child when it opens again
        CFleckDisk::createChild(fs, snap, head, CFleckDisk::ChildLinked);
        reopen();
      }
      model[snap] = model[head];
    } else {
      checkSnapshots();
    }
  }
  if (HasFailure()) return;
  reopen();
  check(*disk, model[head], true);
  checkSnapshots();
  EXPECT_FALSE(disk->haveBackgroundErrors());
}

INSTANTIATE_TEST_SUITE_P(Seeds, DiskModelTest, ::testing::Values(1u, 2u, 3u, 4u));

}  // namespace
}  // namespace fleck::test
