// Every failure the tool reports: one line on standard error that names the disk and
// the problem, and the exit status (1 failure, 2 usage).
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "CliTest.h"
#include "TestImage.h"
#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskHeader.h"
#include "support/FolderSnapshot.h"
#include "zel/CLocalFileSystem.h"

namespace fleck::clitest {
namespace {

constexpr std::size_t kFleck = 16 * 1024;

class ErrorTest : public CliTest {
 protected:
  // Expects the status and one line on standard error holding every one of `parts`.
  static void expectError(const CliResult& r, int status, const std::vector<std::string>& parts) {
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    for (const std::string& part : parts)
      EXPECT_NE(r.err.find(part), std::string::npos) << r.err;
  }

  void makeDisk(const std::string& name, const std::string& size = "256K", bool encrypted = false) {
    std::vector<std::string> create{"create", path(name), "--size", size, "--fleck-size", "16K"};
    if (encrypted)
      create.insert(create.end(), {"--encrypt", "--password-file", passwordFile("right")});
    const CliResult r = fleck(create);
    ASSERT_EQ(r.status, 0) << r.err;
  }

  void rewriteHeader(const std::string& name, int minReader, int minWriter) {
    zel::P<zel::IFileSystem> fs = zel::make<zel::CLocalFileSystem>();
    CFleckDiskHeader header;
    header.load(fs, zel::CURI::fromLocalPath(path(name)));
    header.setMinReaderVersion(minReader);
    header.setMinWriterVersion(minWriter);
    header.store(fs, zel::CURI::fromLocalPath(path(name)));
  }
};

TEST_F(ErrorTest, WrongPassword) {
  makeDisk("disk", "256K", true);
  expectError(
      fleck({"export", path("disk"), path("out"), "--password-file", passwordFile("wrong")}), 1,
      {path("disk"), "wrong password"});
  CliOptions environment;
  environment.environment = {{"FLECK_PASSWORD", "also wrong"}};
  expectError(fleck({"check-password", path("disk")}, environment), 1,
              {path("disk"), "wrong password"});
  environment.environment = {{"FLECK_PASSWORD", "right"}};
  EXPECT_EQ(fleck({"check-password", path("disk")}, environment).status, 0);
  // No password given and no terminal to ask on.
  expectError(fleck({"export", path("disk"), path("out")}), 1, {path("disk"), "FLECK_PASSWORD"});
}

TEST_F(ErrorTest, PasswordForAnUnencryptedDisk) {
  makeDisk("disk");
  expectError(fleck({"export", path("disk"), path("out"), "--password-file", passwordFile("any")}),
              1, {path("disk"), "not encrypted", "password"});
  CliOptions environment;
  environment.environment = {{"FLECK_PASSWORD", "any"}};
  expectError(fleck({"check-password", path("disk")}, environment), 1,
              {"not encrypted", "FLECK_PASSWORD"});
  expectError(fleck({"create", path("other"), "--size", "1M"}, environment), 2, {"--encrypt"});
}

TEST_F(ErrorTest, NotAFleckDisk) {
  std::filesystem::create_directories(path("empty"));
  expectError(fleck({"info", path("empty")}), 1, {path("empty"), "not a fleck disk"});
  expectError(fleck({"export", path("missing"), path("out")}), 1,
              {path("missing"), "no such folder"});
}

TEST_F(ErrorTest, NewerVersionRequired) {
  makeDisk("disk");
  rewriteHeader("disk", 1, 2);
  write("image", std::string(kFleck, 'a'));
  // Reading is allowed; writing needs the newer version.
  EXPECT_EQ(fleck({"export", path("disk"), path("out")}).status, 0);
  expectError(fleck({"import", path("disk"), path("image")}), 1,
              {path("disk"), "newer version", "writer version 2"});
  rewriteHeader("disk", 3, 3);
  expectError(fleck({"info", path("disk")}), 1,
              {path("disk"), "newer version", "reader version 3"});
}

TEST_F(ErrorTest, DamagedHeaderNamesItsFiles) {
  makeDisk("disk");
  flipByte(path("disk") + "/disk.fleckdisk", 12);
  flipByte(path("disk") + "/fallback/disk.fleckdisk", 12);
  expectError(fleck({"info", path("disk")}), 1,
              {path("disk"), "damaged header", path("disk") + "/disk.fleckdisk",
               path("disk") + "/fallback/disk.fleckdisk"});
  // A missing copy is named as such.
  std::filesystem::remove(path("disk") + "/fallback/disk.fleckdisk");
  expectError(fleck({"info", path("disk")}), 1, {"damaged header", "missing"});
}

TEST_F(ErrorTest, DiskInUseByAnotherWriter) {
  makeDisk("disk");
  write("image", std::string(kFleck, 'i'));
  zel::P<zel::IFileSystem> fs = zel::make<zel::CLocalFileSystem>();
  {
    // The test's process holds the lock; the tool runs in another.
    CFleckDisk writer(fs, zel::CURI::fromLocalPath(path("disk")), zel::String(),
                      zel::IIOStream::AccessReadWrite, 1);
    const auto before = fleck::test::snapshotFolder(path("disk"));
    const std::string holder = "pid=" + std::to_string(::getpid());
    expectError(fleck({"import", path("disk"), path("image")}), 1,
                {path("disk"), "in use by another writer", holder});
    expectError(fleck({"child", path("snapshot"), "--parent", path("disk")}), 1,
                {path("disk"), "in use by another writer", holder});
    EXPECT_EQ(fleck::test::describeDifferences(before, fleck::test::snapshotFolder(path("disk"))), "");
    EXPECT_FALSE(std::filesystem::exists(path("snapshot")));
  }
  EXPECT_EQ(fleck({"import", path("disk"), path("image")}).status, 0);
}

TEST_F(ErrorTest, UsageErrorsExitWithTwo) {
  expectError(fleck({"create", path("d"), "--size", "0"}), 2, {"--size", "more than 0"});
  expectError(fleck({"create", path("d"), "--size", "-5M"}), 2, {"--size", "more than 0"});
  expectError(fleck({"create", path("d"), "--size", "1M", "--fleck-size", "0"}), 2,
              {"--fleck-size", "more than 0"});
  expectError(fleck({"create", path("d"), "--size", "1M", "--fleck-size", "-1K"}), 2,
              {"--fleck-size"});
  expectError(fleck({"create", path("d"), "--size", "1 parsec"}), 2, {"--size", "unknown unit"});
  expectError(fleck({"create", path("d"), "--size", "1MB"}), 2, {"--size", "MiB"});
  expectError(fleck({"create", path("d"), "--size", "1M", "--compress", "zip"}), 2,
              {"--compress", "zip"});
  EXPECT_FALSE(std::filesystem::exists(path("d")));
  EXPECT_EQ(fleck({"create", path("d")}).status, 2);
  EXPECT_EQ(fleck({"import", path("d")}).status, 2);
  EXPECT_EQ(fleck({"frobnicate"}).status, 2);
  EXPECT_EQ(fleck({}).status, 2);
  EXPECT_EQ(fleck({"export", path("d"), "--threads", "0"}).status, 2);
  EXPECT_EQ(fleck({"export", path("d"), "--progress", "loud"}).status, 2);
}

TEST_F(ErrorTest, ImageLargerThanTheDisk) {
  makeDisk("disk", "64K");
  write("image", std::string(64 * 1024 + 1, 'i'));
  // A file's size is known: nothing is written.
  expectError(fleck({"import", path("disk"), path("image")}), 1,
              {path("disk"), "larger than the disk", "nothing"});
  EXPECT_TRUE(fleckFiles("disk").empty());
  // Standard input: it fails where it passes the end.
  CliOptions fromStdin;
  fromStdin.stdinFile = path("image");
  expectError(fleck({"import", path("disk"), "-"}, fromStdin), 1,
              {path("disk"), "larger than the disk"});
}

TEST_F(ErrorTest, FailedBackgroundStoresFailTheImport) {
  makeDisk("disk");
  // A file where the fleck tree's folder belongs: every store fails.
  write("disk/flecks", "in the way");
  write("image", TestImage::make(41, 8 * kFleck, kFleck));
  const CliResult r = fleck({"import", path("disk"), path("image")});
  expectError(r, 1, {path("disk"), "storing", "failed"});
  EXPECT_EQ(r.out.find("imported"), std::string::npos) << r.out;
}

TEST_F(ErrorTest, ExistingDiskAndBadParent) {
  makeDisk("disk");
  expectError(fleck({"create", path("disk"), "--size", "1M"}), 1,
              {path("disk"), "holds a disk already"});
  std::filesystem::create_directories(path("plain"));
  expectError(fleck({"child", path("child"), "--parent", path("plain")}), 1,
              {path("plain"), "not a fleck disk"});
  expectError(fleck({"export", path("disk"), path("out"), "--offset", "300K"}), 2,
              {"--offset", "past the disk's end"});
}

}  // namespace
}  // namespace fleck::clitest
