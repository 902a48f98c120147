// What a chain promises every writer: a child keeps the flecks as they were when it
// became the child, an overlay keeps what was written into it (zeros included), one
// writer at a time, and links that lead where they claim.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "FleckTestSupport.h"
#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskError.h"
#include "fleck/CFleckDiskHeader.h"
#include "fleck/CFleckDiskLink.h"
#include "fleck/CFleckDiskLock.h"
#include "support/CFaultInjectingFileSystem.h"
#include "support/TempFolder.h"
#include "zel/CInvalidArgError.h"
#include "zel/CLocalFileSystem.h"

namespace fleck {
namespace {

using Bytes = std::vector<unsigned char>;
using fleck::test::pattern;
using fleck::test::TempFolder;
constexpr auto kRead = zel::IIOStream::AccessRead;
constexpr auto kWrite = zel::IIOStream::AccessReadWrite;
constexpr int kFleck = 4096;
constexpr int kFlecks = 8;

class ChainRulesTest : public ::testing::Test {
 protected:
  zel::CURI at(const char* name) const { return root.uri() << name; }
  zel::CURI makeDisk(const char* name) {
    CFleckDisk::create(fs, at(name), kFleck * kFlecks, 1, "", "lz4", kFleck);
    return at(name);
  }
  zel::CURI child(const char* name, const zel::CURI& parent,
                  CFleckDisk::ChildType type = CFleckDisk::ChildLinked) {
    CFleckDisk::createChild(fs, at(name), parent, type);
    return at(name);
  }
  // Writes `bytes` at fleck `index` (+ offset) through the disk's byte I/O.
  void write(const zel::CURI& folder, int index, const Bytes& bytes, int offset = 0) {
    CFleckDisk disk(fs, folder, "", kWrite, 2);
    disk.setAllowWritingWithParentDisk(true);
    disk.seek(std::int64_t{index} * kFleck + offset);
    disk.write(bytes.data(), static_cast<int>(bytes.size()));
  }
  Bytes read(const zel::CURI& folder, int index) {
    CFleckDisk disk(fs, folder, "", kRead, 1);
    Bytes out(kFleck);
    disk.seek(std::int64_t{index} * kFleck);
    disk.read(out.data(), kFleck);
    return out;
  }
  bool hasFile(const zel::CURI& folder, int index) {
    CFleckDisk disk(fs, folder, "", kRead, 1);
    zel::P<CFleck> fleck = disk.newStandAloneFleckObject();
    fleck->seek(index, 0);
    return fs->fileExists(folder << fleck->getRelativeFleckURI());
  }
  zel::CURI linkOf(const zel::CURI& folder, const char* name) {
    CFleckDiskLink link;
    link.load(fs, folder, name);
    return (folder << link.getTargetURI()).toNormalized();
  }

  TempFolder root;
  zel::P<zel::IFileSystem> fs = zel::make<zel::CLocalFileSystem>();
  const Bytes zeros = Bytes(kFleck, 0);
};

TEST_F(ChainRulesTest, ZerosWrittenOverAParentStayZeros) {
  const zel::CURI parent = makeDisk("p");
  for (int i = 0; i < 4; ++i)
    write(parent, i, pattern(kFleck, 10 + i));
  const zel::CURI overlay = child("o", parent, CFleckDisk::ChildDetached);
  write(overlay, 5, pattern(kFleck, 50));  // a fleck only the overlay holds

  // Every way a fleck can become zeros: a whole zero fleck, a partial write that zeroes
  // what the parent had, and an all-zero prepared record (null).
  write(overlay, 0, zeros);
  {
    CFleckDisk disk(fs, overlay, "", kWrite, 2);
    disk.setAllowWritingWithParentDisk(true);
    Bytes partial = read(parent, 1);
    std::memset(partial.data(), 0, partial.size());
    disk.seek(kFleck);
    disk.write(partial.data(), kFleck / 2);
    disk.write(partial.data(), kFleck / 2);
    disk.seek(2 * kFleck);
    disk.writePreparedFleckData(nullptr, nullptr);
    disk.seek(5 * kFleck);
    disk.writePreparedFleckData(nullptr, nullptr);
  }
  for (int i : {0, 1, 2, 5})
    EXPECT_EQ(read(overlay, i), zeros) << "fleck " << i;
  EXPECT_EQ(read(overlay, 3), pattern(kFleck, 13));
  // Over the parent's data a zero record stays; where no parent holds the fleck, the
  // file goes as before.
  EXPECT_TRUE(hasFile(overlay, 0));
  EXPECT_FALSE(hasFile(overlay, 5));
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(read(parent, i), pattern(kFleck, 10 + i));
}

TEST_F(ChainRulesTest, DiskInTheMiddleGivesItsChildWhatTheChildRead) {
  const zel::CURI p = makeDisk("p");
  write(p, 1, pattern(kFleck, 1));
  write(p, 2, pattern(kFleck, 2));
  const zel::CURI m = child("m", p);
  const zel::CURI c = child("c", m);
  ASSERT_EQ(linkOf(p, "child.flecklnk"), m);

  const Bytes patch = pattern(512, 99);
  write(m, 1, patch, 100);          // m lacks fleck 1: its bytes come from p
  write(m, 2, zeros);               // zeros over p's data
  write(m, 3, pattern(kFleck, 3));  // nobody had fleck 3: the child keeps zeros

  Bytes patched = pattern(kFleck, 1);
  std::memcpy(patched.data() + 100, patch.data(), patch.size());
  EXPECT_EQ(read(m, 1), patched);
  EXPECT_EQ(read(m, 2), zeros);
  EXPECT_EQ(read(c, 1), pattern(kFleck, 1));
  EXPECT_EQ(read(c, 2), pattern(kFleck, 2));
  EXPECT_EQ(read(c, 3), zeros);
  EXPECT_EQ(read(p, 1), pattern(kFleck, 1));

  // A link in the parent's tree is not followed to hand its target to the child.
  const std::string outside = root.path() + "/outside";
  {
    CFleckDisk disk(fs, p, "", kRead, 1);
    zel::P<CFleck> fleck = disk.newStandAloneFleckObject();
    fleck->seek(1, 0);
    const std::string one = (p << fleck->getRelativeFleckURI()).toLocalPath();
    fleck->seek(4, 0);
    const std::string four = (p << fleck->getRelativeFleckURI()).toLocalPath();
    std::filesystem::copy_file(one, outside);
    std::filesystem::create_symlink(outside, four);
  }
  {
    fleck::test::LogCapture quiet;
    CFleckDisk disk(fs, m, "", kWrite, 1);
    disk.setAllowWritingWithParentDisk(true);
    disk.seek(4 * kFleck);
    disk.write(pattern(kFleck, 4).data(), kFleck);
    disk.flushChanges();
    EXPECT_TRUE(disk.haveBackgroundErrors());
  }
  EXPECT_FALSE(hasFile(c, 4));
}

TEST_F(ChainRulesTest, OneWriterPerDiskAndSnapshotsOfAnOpenWriter) {
  const zel::CURI disk = makeDisk("d");
  const zel::CURI lock = CFleckDiskLock::getLockURI(disk);
  {
    CFleckDisk writer(fs, disk, "", kWrite, 2);
    const std::string pid = "pid=" + std::to_string(::getpid());
    const auto expectInUse = [&](const std::function<void()>& action) {
      try {
        action();
        ADD_FAILURE() << "a second writer got in";
      } catch (const CFleckDiskError& e) {
        EXPECT_EQ(e.getCode(), CFleckDiskError::InUseByAnotherWriter);
        EXPECT_NE(e.getHolder().toUTF8().find(pid), std::string::npos) << e.getHolder().toUTF8();
      }
    };
    // Another disk object in this process counts as another writer; so does a linked
    // child, which would otherwise fall into the middle of the writer's work.
    expectInUse([&] { CFleckDisk(fs, disk, "", kWrite, 1); });
    expectInUse([&] { child("late", disk); });
    EXPECT_FALSE(fs->exists(at("late") << "disk.fleckdisk"));
    CFleckDisk reader(fs, disk, "", kRead, 1);  // readers take no lock

    // A snapshot made through the writer: it keeps what the disk held, and the open
    // disk hands its replaced flecks to it from then on.
    writer.seek(0);
    writer.write(pattern(kFleck, 1).data(), kFleck);
    writer.createSnapshot(at("s1"));
    writer.seek(0);
    writer.write(pattern(100, 2).data(), 100);
    writer.seek(kFleck);
    writer.write(pattern(kFleck, 3).data(), kFleck);
    writer.createSnapshot(at("s2"));
    writer.seek(kFleck);
    writer.write(zeros.data(), kFleck);
  }
  EXPECT_FALSE(fs->exists(lock));  // released with the last writer
  Bytes now = pattern(kFleck, 1);
  std::memcpy(now.data(), pattern(100, 2).data(), 100);
  EXPECT_EQ(read(at("s1"), 0), pattern(kFleck, 1));
  EXPECT_EQ(read(at("s1"), 1), zeros);
  EXPECT_EQ(read(at("s2"), 0), now);
  EXPECT_EQ(read(at("s2"), 1), pattern(kFleck, 3));
  EXPECT_EQ(read(disk, 1), zeros);
  CFleckDisk again(fs, disk, "", kWrite, 1);  // free again
}

TEST_F(ChainRulesTest, WritersFollowOnlyChildLinksThatLeadBack) {
  const zel::CURI parent = makeDisk("p");
  write(parent, 0, pattern(kFleck, 7));
  const zel::CURI kid = child("c", parent);
  // The child folder replaced by an unrelated disk, and a link forged to lead to a
  // folder without a disk.
  std::filesystem::remove_all(kid.toLocalPath());
  makeDisk("c");
  std::filesystem::create_directories(root.path() + "/x");
  const zel::CURI other = makeDisk("q");
  CFleckDiskLink forged;
  forged.setTargetURI(zel::CURI("../x"));
  forged.store(fs, other, "child.flecklnk");

  for (const zel::CURI& folder : {parent, other}) {
    EXPECT_NE(CFleckDisk::findChildLinkProblem(fs, folder).toUTF8().find("child.flecklnk"),
              std::string::npos);
    try {
      CFleckDisk(fs, folder, "", kWrite, 1);
      ADD_FAILURE() << "opened for writing through a wrong child link";
    } catch (const zel::CError& e) {
      EXPECT_NE(e.getMessage().toUTF8().find("child.flecklnk"), std::string::npos);
    }
    CFleckDisk(fs, folder, "", kRead, 1);  // reading needs no child
  }
  EXPECT_FALSE(hasFile(kid, 0));  // nothing moved into the unrelated disk
  EXPECT_EQ(CFleckDisk::findChildLinkProblem(fs, kid), zel::String());
}

TEST_F(ChainRulesTest, MissingParentFailsOpeningUnlessAllowed) {
  const zel::CURI parent = makeDisk("p");
  write(parent, 0, pattern(kFleck, 7));
  const zel::CURI overlay = child("o", parent, CFleckDisk::ChildDetached);
  std::filesystem::remove_all(parent.toLocalPath());
  try {
    CFleckDisk(fs, overlay, "", kRead, 1);
    FAIL() << "opened with its parent gone";
  } catch (const zel::CError& e) {
    EXPECT_EQ(e.getMessage(), zel::String("Parent disk of fleck disk is missing."));
    EXPECT_EQ(e.getProps().lookup("parentDiskFolder"), parent.toNormalized().toString(true));
  }
  CFleckDisk::OpenOptions options;
  options.allowMissingParents = true;
  CFleckDisk disk(fs, overlay, "", kRead, 1, options);
  Bytes out(kFleck);
  disk.read(out.data(), kFleck);
  EXPECT_EQ(out, zeros);
}

TEST_F(ChainRulesTest, KeyDerivationIterationsAreBounded) {
  CFleckDisk::create(fs, at("e"), kFleck * kFlecks, 1, "secret", "lz4", kFleck);
  CFleckDiskHeader header;
  header.load(fs, at("e"));
  header.setCipherKeyDerivationIterations(2147483647);
  header.store(fs, at("e"));
  try {
    CFleckDisk(fs, at("e"), "secret", kRead, 1);
    FAIL() << "derived a key with 2^31 - 1 iterations";
  } catch (const zel::CInvalidArgError& e) {
    EXPECT_EQ(e.getProps().lookup("field"), zel::String("cipherKeyDerivationIterations"));
  }
}

// A child creation that fails at any of its writes leaves the chain as it was, and the
// next try works.
TEST_F(ChainRulesTest, FailedChildCreationLeavesTheChainAsItWas) {
  auto faulty = zel::make<fleck::test::CFaultInjectingFileSystem>(fs);
  const zel::CURI p = makeDisk("p");
  write(p, 0, pattern(kFleck, 1));
  const zel::CURI older = child("c0", p);
  // Every open of the file fails, its writes as well as its reads (which then fall
  // back to the second copy), so the failure hits whatever write comes first.
  const char* const cases[] = {"/n/disk.fleckdisk",    // the new child's header (a full disk)
                               "/n/parent.flecklnk",   // the new child's own link
                               "/c0/parent.flecklnk",  // the older child's relink
                               "/p/child.flecklnk"};   // the parent's link: the last write
  for (const char* fails : cases) {
    SCOPED_TRACE(fails);
    faulty->addRule({.op = fleck::test::CFaultInjectingFileSystem::OpenStream, .pathContains = fails});
    EXPECT_THROW(CFleckDisk::createChild(faulty, at("n"), p, CFleckDisk::ChildLinked), zel::CError);
    faulty->clearRules();
    EXPECT_EQ(linkOf(p, "child.flecklnk"), older);
    EXPECT_EQ(linkOf(older, "parent.flecklnk"), p);
    EXPECT_FALSE(std::filesystem::exists(root.path() + "/n"));
    // The older snapshot keeps working: the parent still hands its flecks to it.
    write(p, 0, pattern(kFleck, 2));
    EXPECT_EQ(read(older, 0), pattern(kFleck, 1));
  }
  CFleckDisk::createChild(fs, at("n"), p, CFleckDisk::ChildLinked);
  EXPECT_EQ(linkOf(p, "child.flecklnk"), at("n"));
  EXPECT_EQ(linkOf(older, "parent.flecklnk"), at("n"));
  EXPECT_EQ(linkOf(at("n"), "child.flecklnk"), older);

  // A crash between the last two writes leaves the parent's link on the older child;
  // the parent's next writer finishes the creation.
  CFleckDisk::createChild(fs, at("m"), p, CFleckDisk::ChildLinked);
  CFleckDiskLink stale;
  stale.setTargetURI(zel::CURI("../n"));
  stale.store(fs, p, "child.flecklnk");
  CFleckDisk writer(fs, p, "", kWrite, 1);
  EXPECT_EQ(writer.getChildDiskFolder(), at("m"));
  EXPECT_EQ(linkOf(p, "child.flecklnk"), at("m"));
}

}  // namespace
}  // namespace fleck
