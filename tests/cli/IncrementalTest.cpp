// --incremental stores only the flecks whose content changed; the others keep their
// files untouched (their modification times stay where the test put them).
#include <set>
#include <string>

#include "CliTest.h"
#include "TestImage.h"

namespace fleck::clitest {
namespace {

constexpr std::size_t kFleck = 16 * 1024;

class IncrementalTest : public CliTest {
 protected:
  // The fleck files whose modification time moved since ageFleckFiles.
  std::set<std::string> touched(const std::string& disk) const {
    std::set<std::string> result;
    for (const auto& [file, time] : fleckFiles(disk)) {
      if (time != kAgedTime) result.insert(file);
    }
    return result;
  }
};

TEST_F(IncrementalTest, WritesOnlyChangedFlecks) {
  SCOPED_TRACE("seed 11");
  const std::string original = TestImage::make(11, 30 * kFleck, kFleck);
  ASSERT_FALSE(TestImage::isZero(original, 3 * kFleck, kFleck));
  ASSERT_FALSE(TestImage::isZero(original, 6 * kFleck, kFleck));
  ASSERT_TRUE(TestImage::isZero(original, 10 * kFleck, kFleck));
  std::string changed = original;
  changed[3 * kFleck + 5] = static_cast<char>(changed[3 * kFleck + 5] ^ 1);  // one byte of fleck 3
  changed.replace(6 * kFleck, kFleck, std::string(kFleck, '\0'));            // fleck 6 now zeros
  changed.replace(10 * kFleck, kFleck, std::string(kFleck, 'n'));            // fleck 10 now data
  write("original", original);
  write("changed", changed);
  const std::string secret = passwordFile("incremental");

  ASSERT_EQ(fleck({"create", path("disk"), "--size", "1M", "--fleck-size", "16K", "--encrypt",
                   "--password-file", secret})
                .status,
            0);
  ASSERT_EQ(fleck({"import", path("disk"), path("original"), "--password-file", secret}).status, 0);
  const auto before = fleckFiles("disk");

  // The same image again: nothing is written.
  ageFleckFiles("disk");
  CliResult r =
      fleck({"import", path("disk"), path("original"), "--incremental", "--password-file", secret});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(touched("disk").empty());
  EXPECT_NE(r.out.find("0 stored"), std::string::npos) << r.out;

  // The changed image: fleck 3 rewritten, fleck 6 removed, fleck 10 new; no other file.
  r = fleck({"import", path("disk"), path("changed"), "--incremental", "--password-file", secret});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(touched("disk"), (std::set<std::string>{fleckPath(3), fleckPath(10)}));
  const auto after = fleckFiles("disk");
  EXPECT_EQ(after.count(fleckPath(6)), 0u);
  EXPECT_EQ(after.size(), before.size());  // one removed, one added

  r = fleck({"export", path("disk"), path("out"), "--length", std::to_string(changed.size()),
             "--password-file", secret});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(read("out") == changed);

  // Without --incremental every non-zero fleck is written again.
  ageFleckFiles("disk");
  ASSERT_EQ(fleck({"import", path("disk"), path("changed"), "--password-file", secret}).status, 0);
  EXPECT_EQ(touched("disk").size(), after.size());
}

TEST_F(IncrementalTest, ChildStoresOnlyWhatDiffersFromItsParent) {
  SCOPED_TRACE("seed 12");
  const std::string original = TestImage::make(12, 24 * kFleck, kFleck);
  ASSERT_FALSE(TestImage::isZero(original, 5 * kFleck, kFleck));
  std::string changed = original;
  changed[2 * kFleck] = static_cast<char>(changed[2 * kFleck] ^ 0x40);
  changed.replace(5 * kFleck, kFleck, std::string(kFleck, '\0'));  // zeros over the parent's data
  write("original", original);
  write("changed", changed);
  ASSERT_EQ(fleck({"create", path("parent"), "--size", "512K", "--fleck-size", "16K"}).status, 0);
  ASSERT_EQ(fleck({"import", path("parent"), path("original")}).status, 0);
  ASSERT_EQ(fleck({"child", path("child"), "--parent", path("parent"), "--detached"}).status, 0);

  CliResult r = fleck({"import", path("child"), path("changed"), "--incremental"});
  ASSERT_EQ(r.status, 0) << r.err;
  // The child holds fleck 2 and a record of zeros for fleck 5, nothing else.
  const auto files = fleckFiles("child");
  EXPECT_EQ(files.size(), 2u);
  EXPECT_EQ(files.count(fleckPath(2)), 1u);
  EXPECT_EQ(files.count(fleckPath(5)), 1u);

  r = fleck(
      {"export", path("child"), path("child.out"), "--length", std::to_string(changed.size())});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(read("child.out") == changed);
  r = fleck(
      {"export", path("parent"), path("parent.out"), "--length", std::to_string(original.size())});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(read("parent.out") == original);

  // Back to the parent's zeros where the parent has none: the all-zero fleck the
  // parent also lacks needs no record in the child.
  ASSERT_TRUE(TestImage::isZero(original, 1 * kFleck, kFleck));
  r = fleck({"import", path("child"), path("original"), "--incremental"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(fleckFiles("child").count(fleckPath(1)), 0u);
  r = fleck(
      {"export", path("child"), path("child.out"), "--length", std::to_string(original.size())});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(read("child.out") == original);
}

}  // namespace
}  // namespace fleck::clitest
