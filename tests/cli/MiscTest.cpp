// Help texts, the demo, info and the progress output.
#include <filesystem>
#include <string>

#include "CliTest.h"
#include "TestImage.h"

namespace fleck::clitest {
namespace {

constexpr std::size_t kFleck = 16 * 1024;

class MiscTest : public CliTest {};

TEST_F(MiscTest, HelpListsTheSubCommandsWithExamples) {
  CliResult r = fleck({"--help"});
  EXPECT_EQ(r.status, 0);
  for (const char* name : {"create", "child", "info", "import", "export", "verify",
                           "check-password", "unlock", "demo"}) {
    EXPECT_NE(r.out.find(name), std::string::npos) << name;
    const CliResult sub = fleck({name, "--help"});
    EXPECT_EQ(sub.status, 0) << name;
    EXPECT_NE(sub.out.find("Examples:"), std::string::npos) << name << "\n" << sub.out;
  }
  EXPECT_NE(r.out.find("FLECK_PASSWORD"), std::string::npos);
  EXPECT_EQ(r.out.find("generate-image"), std::string::npos);  // hidden
}

TEST_F(MiscTest, DemoRunsOnASmallImage) {
  const CliResult r = fleck({"demo", "--size", "6M", "--dir", root.path(), "--threads", "2"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("both exports match their images"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("MB/s"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("ratio"), std::string::npos) << r.out;
  // It cleans up after itself.
  int left = 0;
  for (const auto& entry : std::filesystem::directory_iterator(root.path())) {
    left += entry.path().filename().string().rfind("fleck-demo-", 0) == 0 ? 1 : 0;
  }
  EXPECT_EQ(left, 0);
}

TEST_F(MiscTest, UnlockOfAnUnlockedDiskSaysNotLocked) {
  ASSERT_EQ(fleck({"create", path("disk"), "--size", "1M"}).status, 0);
  CliResult r = fleck({"unlock", path("disk")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, path("disk") + ": not locked\n");
  // A killed writer leaves its description in the lock file, but no lock.
  write("disk/writer.flecklock", "host=gone pid=1 since=2026-01-01T00:00:00Z");
  r = fleck({"unlock", path("disk")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, path("disk") + ": not locked\n");
}

TEST_F(MiscTest, InfoCountsStoredFlecks) {
  SCOPED_TRACE("seed 51");
  const std::string image = TestImage::make(51, 12 * kFleck, kFleck);
  write("image", image);
  ASSERT_EQ(
      fleck({"create", path("disk"), "--size", "1M", "--fleck-size", "16K", "--compress", "zlib-6"})
          .status,
      0);
  ASSERT_EQ(fleck({"import", path("disk"), path("image")}).status, 0);
  CliResult r = fleck({"info", path("disk"), "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  const int stored = TestImage::nonZeroFlecks(image, kFleck);
  EXPECT_NE(r.out.find("\"stored_flecks\": " + std::to_string(stored)), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"compressor\": \"zlib-6\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"disk_size\": 1048576"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"encrypted\": false"), std::string::npos) << r.out;
  r = fleck({"info", path("disk")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(std::to_string(stored) + " flecks"), std::string::npos) << r.out;
}

TEST_F(MiscTest, ProgressPlainForLogsAndQuiet) {
  write("image", TestImage::make(52, 8 * kFleck, kFleck));
  ASSERT_EQ(fleck({"create", path("disk"), "--size", "1M", "--fleck-size", "16K"}).status, 0);
  CliResult r = fleck({"import", path("disk"), path("image"), "--progress", "plain"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("import: 128.0 KiB of 128.0 KiB (100%)"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("MB/s"), std::string::npos) << r.err;
  r = fleck({"import", path("disk"), path("image"), "--progress", "plain", "--quiet"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "");
  // Standard error is no terminal here: no progress by default.
  r = fleck({"export", path("disk"), path("out")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("%)"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace fleck::clitest
