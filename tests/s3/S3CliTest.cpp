// The fleck tool on s3:// locations, end to end against the gateway.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "FsTestSupport.h"
#include "S3TestEnvironment.h"
#include "s3/CS3FileSystem.h"
#include "support/TempFolder.h"

namespace fleck_test {
namespace {

using zel::CURI;

class S3CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!gatewayReady()) return;
    fs = zel::make<s3::CS3FileSystem>(gatewayOptions(2));
    base = freshFolder();
  }

  // Runs the tool; returns its exit status. Output goes to a file in the temporary
  // folder, shown when the command fails.
  int run(const std::string& arguments) {
    const std::string log = local("tool.log");
    const std::string command =
        std::string(FLECK_CLI_BINARY) + " " + arguments + " >" + log + " 2>&1";
    const int status = std::system(command.c_str());
    if (status != 0) {
      std::ifstream in(log);
      ADD_FAILURE() << "`fleck " << arguments << "` failed:\n"
                    << std::string(std::istreambuf_iterator<char>(in), {});
    }
    return status;
  }

  std::string local(const std::string& name) const {
    return (std::filesystem::path(folder.path()) / name).string();
  }
  std::string disk(const char* name) const { return (base << name).toString(true).toUTF8(); }

  static std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // Every file below `folder` (relative names), folders walked.
  void walk(const CURI& folder, const CURI& relative,
            const std::function<void(const CURI&)>& visit) {
    for (const auto& entry : fs->listFolder(folder)) {
      const CURI child = relative.isEmpty() ? CURI(entry.name) : relative << entry.name;
      if (entry.folder) {
        walk(folder << entry.name, child, visit);
      } else {
        visit(child);
      }
    }
  }

  fleck::test::TempFolder folder;
  zel::P<s3::CS3FileSystem> fs;
  CURI base;
};

TEST_F(S3CliTest, CreateImportExportVerifyAndChildOnS3) {
  if (fs == nullptr) return;
  ASSERT_EQ(run("generate-image 6M " + local("one.img")), 0);
  ASSERT_EQ(run("generate-image 6M " + local("two.img") + " --generation 1"), 0);
  ASSERT_EQ(run("create " + disk("a") + " --size 6M --fleck-size 64K"), 0);
  ASSERT_EQ(run("import " + disk("a") + " " + local("one.img") + " --quiet"), 0);
  ASSERT_EQ(run("export " + disk("a") + " " + local("out.img") + " --quiet"), 0);
  EXPECT_EQ(contents(local("out.img")), contents(local("one.img")));
  EXPECT_EQ(run("verify " + disk("a") + " --quiet"), 0);

  // A snapshot, then new contents in the parent: the old flecks move into the child.
  ASSERT_EQ(run("child " + disk("b") + " --parent " + disk("a")), 0);
  ASSERT_EQ(run("import " + disk("a") + " " + local("two.img") + " --quiet"), 0);
  ASSERT_EQ(run("export " + disk("a") + " " + local("a.img") + " --quiet"), 0);
  ASSERT_EQ(run("export " + disk("b") + " " + local("b.img") + " --quiet"), 0);
  EXPECT_EQ(contents(local("a.img")), contents(local("two.img")));
  EXPECT_EQ(contents(local("b.img")), contents(local("one.img")));
  EXPECT_EQ(run("verify " + disk("b") + " --chain --quiet"), 0);

  // Links inside one bucket are relative, as on a local disk.
  const Bytes link = readFile(*fs, base << "b"
                                        << "parent.flecklnk");
  const std::string text(link.begin(), link.end());
  EXPECT_EQ(text.find("s3:"), std::string::npos);
  EXPECT_EQ(text.find(base.getComponents().back().toUTF8()), std::string::npos);
}

TEST_F(S3CliTest, FlecksLeftInBothDisksByAnInterruptedMoveReadCorrectly) {
  if (fs == nullptr) return;
  ASSERT_EQ(run("generate-image 4M " + local("one.img")), 0);
  ASSERT_EQ(run("generate-image 4M " + local("two.img") + " --generation 1"), 0);
  ASSERT_EQ(run("create " + disk("a") + " --size 4M --fleck-size 64K"), 0);
  ASSERT_EQ(run("import " + disk("a") + " " + local("one.img") + " --quiet"), 0);
  ASSERT_EQ(run("child " + disk("b") + " --parent " + disk("a")), 0);

  // A crash in the middle of each move to the child: the COPY done, the DELETE not.
  int copied = 0;
  walk(base << "a", CURI(), [&](const CURI& relative) {
    if (!relative.getName().toUTF8().ends_with(".fleck")) return;  // headers and links
    const auto source = s3::CS3FileSystem::objectOf(base << "a" << relative);
    s3::CS3Request copy =
        s3::CS3FileSystem::makeRequest("PUT", s3::CS3FileSystem::objectOf(base << "b" << relative));
    copy.headers["x-amz-copy-source"] =
        "/" + source.bucket + "/" + s3::CS3Signer::uriEncode(source.key, true);
    ASSERT_TRUE(fs->getClient().perform(copy).isSuccess());
    ++copied;
  });
  ASSERT_GT(copied, 0);

  ASSERT_EQ(run("export " + disk("a") + " " + local("a.img") + " --quiet"), 0);
  ASSERT_EQ(run("export " + disk("b") + " " + local("b.img") + " --quiet"), 0);
  EXPECT_EQ(contents(local("a.img")), contents(local("one.img")));
  EXPECT_EQ(contents(local("b.img")), contents(local("one.img")));
  EXPECT_EQ(run("verify " + disk("b") + " --chain --quiet"), 0);

  // Writing on: the moves find their targets present and keep them.
  ASSERT_EQ(run("import " + disk("a") + " " + local("two.img") + " --quiet"), 0);
  ASSERT_EQ(run("export " + disk("a") + " " + local("a2.img") + " --quiet"), 0);
  ASSERT_EQ(run("export " + disk("b") + " " + local("b2.img") + " --quiet"), 0);
  EXPECT_EQ(contents(local("a2.img")), contents(local("two.img")));
  EXPECT_EQ(contents(local("b2.img")), contents(local("one.img")));
}

}  // namespace
}  // namespace fleck_test
