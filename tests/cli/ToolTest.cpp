// What the tool itself owns: password sources and prompts, verify's findings and
// repairs, the refusal of a second writer in another process, failed stores failing an
// import, progress, help, unlock and the demo. (Each damaged or wrong input with its
// message and exit status is a row of the bad-input table.)
#include <poll.h>
#include <unistd.h>

#include <chrono>

#include "CliTest.h"
#include "fleck/CFleckDisk.h"
#include "support/FolderSnapshot.h"
#include "zel/CLocalFileSystem.h"

namespace fleck::test {
namespace {

class ToolTest : public CliTest {
 protected:
  void makeDisk(const std::string& name, const Env& env = {}) {
    write("image", makeImage(31, 20 * kFleck));
    std::vector<std::string> create{"create", path(name), "--size", "512K", "--fleck-size", "16K"};
    if (!env.empty()) create.push_back("--encrypt");
    ok(create, env);
    ok({"import", path(name), path("image")}, env);
  }

  // Runs the tool on a terminal of its own and types `answers` at its prompts; the
  // result's `out` is what the terminal showed.
  ProgramResult prompted(const std::vector<std::string>& arguments,
                         std::vector<std::string> answers) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    CChildProcess::Options options;
    options.stdinFile = ::ptsname(master);  // opened in the child's new session: its terminal
    options.stderrFile = path("prompt.err");
    std::vector<std::string> argv{FLECK_CLI_BINARY};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    CChildProcess child(argv, options);
    ProgramResult result;
    std::size_t prompts = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (char c[256]; child.running() && std::chrono::steady_clock::now() < end;) {
      pollfd ready{master, POLLIN, 0};
      const ssize_t got = ::poll(&ready, 1, 10) == 1 ? ::read(master, c, sizeof c) : 0;
      result.out.append(c, got > 0 ? got : 0);
      // A prompt ends in ": "; answer each once.
      if (result.out.ends_with(": ") && prompts < answers.size()) {
        const std::string line = answers[prompts++] + "\n";
        EXPECT_EQ(::write(master, line.data(), line.size()), ssize_t(line.size()));
      }
    }
    result.status = child.wait(1000);
    ::close(master);
    result.err = read("prompt.err");
    return result;
  }
};

TEST_F(ToolTest, PasswordSources) {
  const Env right{{"FLECK_PASSWORD", "right"}};
  makeDisk("disk", right);
  ok({"check-password", path("disk")}, right);
  // The file wins over the environment; only its first line counts.
  const std::string file = write("password", "right\nsecond line\n");
  ok({"check-password", path("disk"), "--password-file", file}, {{"FLECK_PASSWORD", "wrong"}});
  ProgramResult r =
      fleck({"check-password", path("disk"), "--password-file", write("w", "wrong")}, right);
  EXPECT_EQ(r.status, 1);
  expectSays(r.err, {path("disk") + ": wrong password"});
  // A password for a new disk is refused without --encrypt, before anything is made.
  r = fleck({"create", path("other"), "--size", "1M"}, right);
  EXPECT_EQ(r.status, 2);
  expectSays(r.err, {"--encrypt"});
  EXPECT_FALSE(std::filesystem::exists(path("other")));
}

TEST_F(ToolTest, PasswordPromptsOnTheTerminal) {
  ProgramResult r = prompted({"create", path("disk"), "--size", "1M", "--encrypt"}, {"t0p", "t0p"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  expectSays(r.out, {"New password for " + path("disk") + ": ", "Repeat the password: "});
  EXPECT_EQ(r.out.find("t0p"), std::string::npos) << "the password was shown: " << r.out;
  ok({"child", path("child"), "--parent", path("disk")}, {{"FLECK_PASSWORD", "t0p"}});
  // One answer serves the whole chain.
  r = prompted({"export", path("child"), path("out")}, {"t0p", "t0p"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("Password for"), r.out.rfind("Password for")) << r.out;
  r = prompted({"check-password", path("disk")}, {"wrong"});
  EXPECT_EQ(r.status, 1);
  expectSays(r.err, {"wrong password"});

  r = prompted({"create", path("other"), "--size", "1M", "--encrypt"}, {"one", "two"});
  EXPECT_EQ(r.status, 1);
  expectSays(r.err, {path("other") + ": the two passwords differ"});
  r = prompted({"create", path("other"), "--size", "1M", "--encrypt"}, {""});
  EXPECT_EQ(r.status, 1);
  expectSays(r.err, {"an empty password cannot encrypt a disk"});
  EXPECT_FALSE(std::filesystem::exists(path("other")));
}

TEST_F(ToolTest, VerifyFindsDamagedFlecksOfAnEncryptedDisk) {
  const Env env{{"FLECK_PASSWORD", "verify me"}};
  makeDisk("disk", env);
  const std::string file = path("disk") + "/" + fleckPath(0);
  flipByte(file, 40);
  ProgramResult r = fleck({"verify", path("disk"), "--threads", "3"}, env);
  EXPECT_EQ(r.status, 3) << r.out << r.err;
  expectSays(r.out, {"DAMAGED fleck 0: " + file});
  EXPECT_EQ(r.out.find("DAMAGED fleck 3"), std::string::npos) << r.out;
  // The fleck files of an encrypted disk are checked with the password only.
  r = fleck({"verify", path("disk")});
  EXPECT_EQ(r.status, 1);
  expectSays(r.err, {"password"});
}

TEST_F(ToolTest, VerifyRepairsMetadataCopiesAndChecksTheChain) {
  makeDisk("base");
  ok({"child", path("child"), "--parent", path("base")});
  const std::string intact = read("base/disk.fleckdisk");
  flipByte(path("base/disk.fleckdisk"), 30);
  flipByte(path("child/fallback/parent.flecklnk"), 3);
  std::filesystem::remove(path("base/fallback/child.flecklnk"));
  flipByte(path("base/") + fleckPath(2), 100);

  // Without --chain only the child is checked.
  ProgramResult r = fleck({"verify", path("child")});
  EXPECT_EQ(r.status, 3);
  expectSays(r.out, {path("child/fallback/parent.flecklnk") + " damaged"});
  EXPECT_EQ(r.out.find("DAMAGED fleck"), std::string::npos) << r.out;
  r = fleck({"verify", path("base")});
  EXPECT_EQ(r.status, 3);
  expectSays(r.out, {path("base/disk.fleckdisk") + " damaged (digest mismatch)"});
  EXPECT_EQ(r.out.find(path("base/fallback/disk.fleckdisk") + " damaged"), std::string::npos);

  r = fleck({"verify", path("child"), "--chain", "--repair-metadata"});
  EXPECT_EQ(r.status, 3);  // damage was found, and the metadata repaired
  expectSays(r.out,
             {path("base/fallback/child.flecklnk") + " missing",
              "DAMAGED fleck 2: " + path("base/") + fleckPath(2), "repaired 2 metadata copies"});
  EXPECT_TRUE(read("base/disk.fleckdisk") == intact);
  EXPECT_TRUE(read("base/fallback/child.flecklnk") == read("base/child.flecklnk"));
  // The fleck file stays damaged.
  r = fleck({"verify", path("child"), "--chain"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out.find("DAMAGED metadata"), std::string::npos) << r.out;
  expectSays(r.out, {"DAMAGED fleck 2"});
}

TEST_F(ToolTest, DiskInUseByAnotherWriter) {
  ok({"create", path("disk"), "--size", "256K", "--fleck-size", "16K"});
  write("image", std::string(kFleck, 'i'));
  {
    // The test's process holds the lock; the tool runs in another.
    CFleckDisk writer(zel::make<zel::CLocalFileSystem>(), zel::CURI::fromLocalPath(path("disk")),
                      "", zel::IIOStream::AccessReadWrite, 1);
    const auto before = snapshotFolder(path("disk"));
    const std::string holder = "pid=" + std::to_string(::getpid());
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"import", path("disk"), path("image")},
          {"child", path("snapshot"), "--parent", path("disk")}}) {
      const ProgramResult r = fleck(args);
      EXPECT_EQ(r.status, 1);
      expectSays(r.err, {path("disk") + ": in use by another writer", holder});
    }
    // A live holder keeps its lock.
    const ProgramResult r = fleck({"unlock", path("disk")});
    EXPECT_EQ(r.status, 1);
    expectSays(r.err, {holder, "the lock ends with its process"});
    EXPECT_EQ(describeDifferences(before, snapshotFolder(path("disk"))), "");
    EXPECT_FALSE(std::filesystem::exists(path("snapshot")));
  }
  expectSays(ok({"unlock", path("disk")}).out, {path("disk") + ": not locked\n"});
  ok({"import", path("disk"), path("image")});
  // A killed writer leaves its description in the lock file, but no lock.
  write("disk/writer.flecklock", "host=gone pid=1 since=2026-01-01T00:00:00Z");
  EXPECT_EQ(ok({"unlock", path("disk")}).out, path("disk") + ": not locked\n");
}

TEST_F(ToolTest, ImportFailsOnFailedStoresAndOnTooMuchInput) {
  ok({"create", path("disk"), "--size", "256K", "--fleck-size", "16K"});
  write("disk/flecks", "in the way");  // every store fails
  ProgramResult r = fleck({"import", path("disk"), write("image", makeImage(41, 8 * kFleck))});
  EXPECT_EQ(r.status, 1);
  expectSays(r.err, {path("disk"), "storing", "failed"});
  EXPECT_EQ(r.out.find("imported"), std::string::npos) << r.out;
  // Standard input has no size to check first: it fails where it passes the end.
  std::filesystem::remove(path("disk/flecks"));
  r = fleck({"import", path("disk"), "-"}, {}, write("big", std::string(256 * 1024 + 1, 'b')));
  EXPECT_EQ(r.status, 1);
  expectSays(r.err, {path("disk") + ": ", "larger than the disk"});
}

TEST_F(ToolTest, ProgressPlainForLogsQuietAndNoneWithoutATerminal) {
  ok({"create", path("disk"), "--size", "1M", "--fleck-size", "16K"});
  write("image", makeImage(52, 8 * kFleck));
  ProgramResult r = ok({"import", path("disk"), path("image"), "--progress", "plain"});
  expectSays(r.err, {"import: 128.0 KiB of 128.0 KiB (100%)", "MB/s"});
  r = ok({"import", path("disk"), path("image"), "--progress", "plain", "--quiet"});
  EXPECT_EQ(r.err + r.out, "");
  r = ok({"export", path("disk"), path("out")});
  EXPECT_EQ(r.err.find("%)"), std::string::npos) << r.err;
}

TEST_F(ToolTest, HelpAndDemo) {
  ProgramResult r = ok({"--help"});
  expectSays(r.out, {"FLECK_PASSWORD"});
  EXPECT_EQ(r.out.find("generate-image"), std::string::npos);  // hidden
  for (const char* name : {"create", "child", "info", "import", "export", "verify",
                           "check-password", "unlock", "demo"}) {
    expectSays(r.out, {name});
    expectSays(ok({name, "--help"}).out, {"Examples:"});
  }
  r = ok({"demo", "--size", "6M", "--dir", root.path(), "--threads", "2"});
  expectSays(r.out, {"both exports match their images", "MB/s", "ratio"});
  for (const auto& entry : std::filesystem::directory_iterator(root.path()))
    EXPECT_NE(entry.path().filename().string().rfind("fleck-demo-", 0), 0u) << "left behind";
}

}  // namespace
}  // namespace fleck::test
