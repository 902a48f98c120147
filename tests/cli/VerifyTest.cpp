// verify finds a changed byte in a fleck file and in a metadata copy, names the file
// (and the fleck's index), exits with 3, and --repair-metadata rewrites the damaged
// copy from the intact one.
#include <string>

#include "CliTest.h"
#include "TestImage.h"

namespace fleck::clitest {
namespace {

constexpr std::size_t kFleck = 16 * 1024;

class VerifyTest : public CliTest {
 protected:
  void makeDisk(const std::string& name, const std::vector<std::string>& extra = {}) {
    SCOPED_TRACE("seed 31");
    write("image", TestImage::make(31, 20 * kFleck, kFleck));
    std::vector<std::string> create{"create", path(name), "--size", "512K", "--fleck-size", "16K"};
    create.insert(create.end(), extra.begin(), extra.end());
    ASSERT_EQ(fleck(create).status, 0);
    std::vector<std::string> import{"import", path(name), path("image")};
    for (std::size_t i = 0; i < extra.size(); ++i) {
      if (extra[i] == "--password-file") import.insert(import.end(), {extra[i], extra[i + 1]});
    }
    ASSERT_EQ(fleck(import).status, 0);
  }
};

TEST_F(VerifyTest, IntactDiskPasses) {
  makeDisk("disk");
  const CliResult r = fleck({"verify", path("disk"), "--threads", "3"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("all intact"), std::string::npos) << r.out;
}

TEST_F(VerifyTest, FindsAFlippedByteInAFleckFile) {
  const std::string secret = passwordFile("verify me");
  makeDisk("disk", {"--encrypt", "--password-file", secret});
  // Fleck 0 has data (only every third fleck of the image is all zeros).
  const std::string file = path("disk") + "/" + fleckPath(0);
  flipByte(file, 40);
  CliResult r = fleck({"verify", path("disk"), "--password-file", secret});
  EXPECT_EQ(r.status, 3) << r.out << r.err;
  EXPECT_NE(r.out.find("DAMAGED fleck 0: " + file), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("DAMAGED fleck 3"), std::string::npos) << r.out;

  // The fleck files of an encrypted disk are checked with the password only.
  r = fleck({"verify", path("disk")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("password"), std::string::npos) << r.err;
}

TEST_F(VerifyTest, FindsAndRepairsADamagedHeaderCopy) {
  makeDisk("disk");
  const std::string header = path("disk") + "/disk.fleckdisk";
  const std::string fallback = path("disk") + "/fallback/disk.fleckdisk";
  const std::string intact = read("disk/fallback/disk.fleckdisk");
  flipByte(header, 30);

  CliResult r = fleck({"verify", path("disk")});
  EXPECT_EQ(r.status, 3) << r.out << r.err;
  EXPECT_NE(r.out.find(header + " damaged (digest mismatch)"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(fallback + " damaged"), std::string::npos) << r.out;

  r = fleck({"verify", path("disk"), "--repair-metadata"});
  EXPECT_EQ(r.status, 3) << r.out << r.err;  // damage was found, and repaired
  EXPECT_NE(r.out.find("repaired 1 metadata copy"), std::string::npos) << r.out;
  EXPECT_TRUE(read("disk/disk.fleckdisk") == intact);

  r = fleck({"verify", path("disk")});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

TEST_F(VerifyTest, RepairsALinkFileCopyAndChecksTheChain) {
  makeDisk("base");
  ASSERT_EQ(fleck({"child", path("child"), "--parent", path("base")}).status, 0);
  flipByte(path("child") + "/fallback/parent.flecklnk", 3);
  std::remove((path("base") + "/fallback/child.flecklnk").c_str());
  flipByte(path("base") + "/" + fleckPath(2), 100);

  // Without --chain only the child is checked.
  CliResult r = fleck({"verify", path("child")});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.out.find(path("child") + "/fallback/parent.flecklnk damaged"), std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("DAMAGED fleck"), std::string::npos) << r.out;

  r = fleck({"verify", path("child"), "--chain", "--repair-metadata"});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.out.find(path("base") + "/fallback/child.flecklnk missing"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("DAMAGED fleck 2: " + path("base") + "/" + fleckPath(2)), std::string::npos)
      << r.out;

  // The metadata is whole again; the fleck file stays damaged.
  r = fleck({"verify", path("child"), "--chain"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out.find("DAMAGED metadata"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("DAMAGED fleck 2"), std::string::npos) << r.out;
  EXPECT_TRUE(read("base/fallback/child.flecklnk") == read("base/child.flecklnk"));
}

}  // namespace
}  // namespace fleck::clitest
