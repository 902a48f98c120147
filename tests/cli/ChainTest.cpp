// Chains of disks through the tool: a linked child keeps a snapshot while its parent
// changes, a detached child reads through to its parent, a disk between a parent and
// a child keeps its child's snapshot right, and info shows the chain.
#include <string>

#include "CliTest.h"
#include "TestImage.h"

namespace fleck::clitest {
namespace {

constexpr std::size_t kFleck = 16 * 1024;

class ChainTest : public CliTest {
 protected:
  void SetUp() override {
    SCOPED_TRACE("seed 21");
    original = TestImage::make(21, 32 * kFleck, kFleck);
    changed = original;
    // Changes in some data flecks, zeros over data, data over zeros.
    for (std::size_t fleckIndex : {0, 5, 9})
      changed[fleckIndex * kFleck + 77] = 'C';
    changed.replace(2 * kFleck, kFleck, std::string(kFleck, '\0'));
    changed.replace(4 * kFleck, kFleck, std::string(kFleck, 'd'));
    write("original", original);
    write("changed", changed);
    ASSERT_EQ(fleck({"create", path("base"), "--size", "512K", "--fleck-size", "16K"}).status, 0);
    ASSERT_EQ(fleck({"import", path("base"), path("original")}).status, 0);
  }

  std::string exported(const std::string& disk) {
    const CliResult r =
        fleck({"export", path(disk), "-", "--length", std::to_string(original.size())});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }

  std::string original;
  std::string changed;
};

TEST_F(ChainTest, LinkedChildKeepsTheSnapshotWhileTheParentChanges) {
  ASSERT_EQ(fleck({"child", path("monday"), "--parent", path("base")}).status, 0);
  for (const char* mode : {"--incremental", "--threads=1"}) {
    SCOPED_TRACE(mode);
    const CliResult r = fleck({"import", path("base"), path("changed"), mode});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(exported("base") == changed);
    EXPECT_TRUE(exported("monday") == original);
  }
  const CliResult info = fleck({"info", path("base"), "--json"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("\"child\": \"" + path("monday") + "\""), std::string::npos) << info.out;
}

TEST_F(ChainTest, DetachedChildReadsThroughAndLeavesTheParentAlone) {
  const auto parentFiles = fleckFiles("base");
  CliResult r = fleck({"child", path("overlay"), "--parent", path("base"), "--detached"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(exported("overlay") == original);
  r = fleck({"import", path("overlay"), path("changed")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(exported("overlay") == changed);
  EXPECT_TRUE(exported("base") == original);
  EXPECT_EQ(fleckFiles("base"), parentFiles);
  r = fleck({"info", path("base"), "--json"});
  EXPECT_NE(r.out.find("\"child\": null"), std::string::npos) << r.out;
}

TEST_F(ChainTest, DiskBetweenParentAndChildKeepsTheChildsSnapshot) {
  // base <- middle <- snapshot: the middle disk has no flecks of its own yet.
  ASSERT_EQ(fleck({"child", path("middle"), "--parent", path("base")}).status, 0);
  ASSERT_EQ(fleck({"child", path("snapshot"), "--parent", path("middle")}).status, 0);
  const CliResult r = fleck({"import", path("middle"), path("changed"), "--incremental"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(exported("middle") == changed);
  EXPECT_TRUE(exported("snapshot") == original);
  EXPECT_TRUE(exported("base") == original);

  const CliResult info = fleck({"info", path("middle")});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find(path("base") + " (nearest)"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find(path("snapshot")), std::string::npos) << info.out;
}

}  // namespace
}  // namespace fleck::clitest
