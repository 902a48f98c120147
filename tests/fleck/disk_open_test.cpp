#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <functional>

#include "FleckTestSupport.h"
#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskError.h"
#include "fleck/CFleckDiskHeader.h"
#include "fleck/CFleckDiskLink.h"
#include "support/TempFolder.h"
#include "zel/CIOError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CLocalFileSystem.h"

namespace fleck {
namespace {

using fleck::test::pattern;
using fleck::test::TempFolder;
constexpr auto kRead = zel::IIOStream::AccessRead;
constexpr auto kWrite = zel::IIOStream::AccessReadWrite;

class DiskOpenTest : public ::testing::Test {
 protected:
  zel::CURI make(const char* name, std::int64_t size = 1000000, int fleckSize = 524288,
                 const char* password = "") {
    const zel::CURI folder = root.uri() << name;
    CFleckDisk::create(fs, folder, size, 1, password, "lz4", fleckSize);
    return folder;
  }
  void writeLink(const zel::CURI& folder, const char* name, const zel::CURI& target) {
    CFleckDiskLink link;
    link.setTargetURI(target);
    link.store(fs, folder, name);
  }
  static zel::CIOError::Code ioCode(const std::function<void()>& action) {
    try {
      action();
    } catch (const zel::CIOError& e) {
      return e.getIOCode();
    }
    return zel::CIOError::Unknown;
  }

  TempFolder root;
  zel::P<zel::IFileSystem> fs = zel::make<zel::CLocalFileSystem>();
};

TEST_F(DiskOpenTest, ChainIsFollowedNearestFirstAndMissingChildIsIgnored) {
  const zel::CURI a = make("a");
  const zel::CURI b = root.uri() << "b";
  const zel::CURI c = root.uri() << "c";
  CFleckDisk::createChild(fs, b, a, CFleckDisk::ChildLinked);
  CFleckDisk::createChild(fs, c, b, CFleckDisk::ChildLinked);
  {
    CFleckDisk disk(fs, c, "", kRead, 1);
    ASSERT_EQ(disk.getParentDiskFolders().size(), 2u);
    EXPECT_EQ(disk.getParentDiskFolder(), b);
    EXPECT_EQ(disk.getParentDiskFolders().back(), a);
  }
  {
    CFleckDisk disk(fs, a, "", kRead, 1);
    EXPECT_EQ(disk.getChildDiskFolder(), b);
  }
  std::filesystem::remove_all(root.path() + "/b");
  CFleckDisk disk(fs, a, "", kRead, 1);
  EXPECT_TRUE(disk.getChildDiskFolder().isEmpty());
}

TEST_F(DiskOpenTest, ParentLinkLoopsAreDetected) {
  const zel::CURI a = make("a");
  writeLink(a, "parent.flecklnk", zel::CURI("."));
  try {
    CFleckDisk disk(fs, a, "", kRead, 1);
    FAIL();
  } catch (const zel::CError& e) {
    EXPECT_EQ(e.getMessage(), zel::String("Parent link loop detected in fleck disk."));
    EXPECT_EQ(e.getProps().lookup("diskFolder"), a.toString(true));
    EXPECT_EQ(e.getProps().lookup("loopFolder"), a.toString(true));
  }
  const zel::CURI b = make("b");
  writeLink(a, "parent.flecklnk", zel::CURI("../b"));
  writeLink(b, "parent.flecklnk", zel::CURI("../a"));
  EXPECT_THROW(CFleckDisk(fs, a, "", kRead, 1), zel::CError);
}

TEST_F(DiskOpenTest, VersionAndPasswordChecks) {
  const zel::CURI plain = make("plain");
  EXPECT_NO_THROW(CFleckDisk(fs, plain, "", kWrite, 1));
  try {
    CFleckDisk disk(fs, plain, "x", kRead, 1);
    FAIL();
  } catch (const CFleckDiskError& e) {
    EXPECT_EQ(e.getCode(), CFleckDiskError::EncryptPasswordIncorrect);
    EXPECT_EQ(e.getDiskFolder(), plain);
  }
  const zel::CURI secret = make("secret", 1000000, 65536, "pw");
  EXPECT_NO_THROW(CFleckDisk(fs, secret, "pw", kWrite, 1));
  EXPECT_THROW(CFleckDisk(fs, secret, "pW", kWrite, 1), CFleckDiskError);
  EXPECT_THROW(CFleckDisk(fs, secret, "", kWrite, 1), CFleckDiskError);

  CFleckDiskHeader header;
  header.load(fs, plain);
  header.setMinWriterVersion(2);
  header.store(fs, plain);
  EXPECT_NO_THROW(CFleckDisk(fs, plain, "", kRead, 1));
  try {
    CFleckDisk disk(fs, plain, "", kWrite, 1);
    FAIL();
  } catch (const CFleckDiskError& e) {
    EXPECT_EQ(e.getCode(), CFleckDiskError::NewerVersionRequired);
  }
  EXPECT_THROW(CFleckDisk(fs, plain, "", kRead, 0), zel::CInvalidArgError);
}

TEST_F(DiskOpenTest, ReadWriteAndSeekBoundaries) {
  const zel::CURI folder = make("d", 1000000, 524288);
  CFleckDisk disk(fs, folder, "", kWrite, 2);
  EXPECT_EQ(disk.getSize(), 1000000);
  EXPECT_EQ(disk.getFleckSize(), 524288);
  EXPECT_TRUE(disk.getParentDiskFolder().isEmpty());
  const auto data = pattern(1000000, 3);
  disk.write(data.data(), 1000000);
  EXPECT_EQ(disk.getPosition(), 1000000);

  // Across the fleck boundary.
  std::vector<unsigned char> buffer(100);
  disk.seek(524283);
  disk.read(buffer.data(), 10);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 10, data.begin() + 524283));

  // Crossing the end is checked through both disk streams; here the disk's own errors.
  disk.seek(1000000);
  disk.seek(17);
  try {
    disk.seek(1000001);
    FAIL();
  } catch (const zel::CIOError& e) {
    EXPECT_EQ(e.getIOCode(), zel::CIOError::InvalidPosition);
    ASSERT_EQ(e.getProps().size(), 3u);
    EXPECT_EQ(e.getProps()[0].second, zel::String("1000001"));
    EXPECT_EQ(e.getProps()[1].second, zel::String("1000000"));
    EXPECT_EQ(e.getProps()[2].first, zel::String("uri"));
  }
  EXPECT_EQ(ioCode([&] { disk.seek(-1); }), zel::CIOError::InvalidPosition);
  EXPECT_EQ(disk.getPosition(), 17);
}

TEST_F(DiskOpenTest, ChangesSurviveTheDestructorAndReadOnlyDisksRefuseWrites) {
  const zel::CURI folder = make("d", 300000, 65536, "pw");
  const auto data = pattern(300000, 9);
  {
    CFleckDisk disk(fs, folder, "pw", kWrite, 3);
    disk.write(data.data(), 300000);
  }
  CFleckDisk disk(fs, folder, "pw", kRead, 1);
  std::vector<unsigned char> back(300000);
  disk.read(back.data(), 300000);
  EXPECT_EQ(back, data);
  disk.seek(0);
  try {
    disk.write(data.data(), 1);
    FAIL();
  } catch (const zel::CError& e) {
    EXPECT_EQ(e.getMessage(), zel::String("Internal error: CFleckDisk::write was called, but the "
                                          "disk was not opened for writing."));
  }
}

TEST_F(DiskOpenTest, ChildReadsThroughToItsParentAndNeedsPermissionToWrite) {
  const zel::CURI parent = make("p", 200000, 65536);
  const auto data = pattern(70000, 5);
  {
    CFleckDisk disk(fs, parent, "", kWrite, 2);
    disk.write(data.data(), 70000);  // flecks 0 and 1; flecks 2 and 3 have no file
  }
  const zel::CURI child = root.uri() << "c";
  CFleckDisk::createChild(fs, child, parent, CFleckDisk::ChildLinked);
  CFleckDisk disk(fs, child, "", kWrite, 2);
  std::vector<unsigned char> back(200000);
  disk.read(back.data(), 200000);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
  EXPECT_TRUE(
      std::all_of(back.begin() + 70000, back.end(), [](unsigned char b) { return b == 0; }));

  disk.seek(0);
  try {
    disk.write(data.data(), 10);
    FAIL();
  } catch (const zel::CError& e) {
    EXPECT_EQ(e.getMessage(),
              zel::String("Cannot write to fleck disk that has a parent disk attached."));
    EXPECT_EQ(e.getProps().lookup("diskFolder"), child.toString(true));
  }
  // Prepared flecks may be written into a disk with parents without permission.
  zel::P<CFleckDataPreparer> preparer = disk.createDataPreparer();
  zel::TBuffer<unsigned char> payload(pattern(65536, 1).data(), 65536);
  // A record stays referenced by its storer until the disk has reaped it: a heap buffer.
  auto record = zel::make<zel::TBuffer<unsigned char>>();
  preparer->prepareData(payload, *record);
  disk.seek(65536);
  zel::P<CFleckStorer> storer = disk.writePreparedFleckData(record, nullptr);
  EXPECT_TRUE(storer->waitFinished(-1));
  EXPECT_EQ(storer->getError(), nullptr);
  EXPECT_EQ(disk.getPosition(), 131072);

  disk.setAllowWritingWithParentDisk(true);
  disk.seek(0);
  EXPECT_NO_THROW(disk.write(data.data(), 10));
}

TEST_F(DiskOpenTest, DetachedChildOpensThroughItsAbsoluteParentLink) {
  const zel::CURI parent = make("p", 100000, 65536);
  const auto data = pattern(100000, 4);
  {
    CFleckDisk disk(fs, parent, "", kWrite, 2);
    disk.write(data.data(), 100000);
  }
  const zel::CURI child = root.uri() << "elsewhere"
                                     << "c";
  CFleckDisk::createChild(fs, child, parent, CFleckDisk::ChildDetached);
  CFleckDisk disk(fs, child, "", kRead, 1);
  EXPECT_EQ(disk.getParentDiskFolder(), parent);
  std::vector<unsigned char> back(100000);
  disk.read(back.data(), 100000);
  EXPECT_EQ(back, data);
}

TEST_F(DiskOpenTest, PreparedWriteBoundaries) {
  const zel::CURI folder = make("d", 200000, 65536);
  CFleckDisk disk(fs, folder, "", kWrite, 2);
  auto record = zel::make<zel::TBuffer<unsigned char>>();
  zel::TBuffer<unsigned char> payload(pattern(65536, 2).data(), 65536);
  disk.createDataPreparer()->prepareData(payload, *record);

  disk.seek(65537);
  EXPECT_EQ(ioCode([&] { disk.writePreparedFleckData(record, nullptr); }),
            zel::CIOError::NotAligned);
  disk.seek(200000);
  EXPECT_EQ(ioCode([&] { disk.writePreparedFleckData(record, nullptr); }),
            zel::CIOError::SizeExceeded);
  // The last fleck is partial (3 x 65536 = 196608 < 200000 < 4 x 65536).
  disk.seek(196608);
  disk.writePreparedFleckData(record, nullptr)->waitFinished(-1);
  EXPECT_EQ(disk.getPosition(), 200000);
}

}  // namespace
}  // namespace fleck
