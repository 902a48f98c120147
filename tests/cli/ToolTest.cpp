// What the tool itself owns: password sources and prompts, verify's findings and repairs,
// the refusal of a second writer in another process, progress, unlock and the demo. (Each
// damaged or wrong input with its words and exit status is a row of the bad-input table.)
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
    std::vector<std::string> create{"create", path(name), "--size", "512K", "--fleck-size", "16K"};
    if (!env.empty()) create.push_back("--encrypt");
    ok(create, env);
    ok({"import", path(name), write("image", makeImage(31, 20 * kFleck))}, env);
  }

  // Runs the tool on a terminal of its own and types `answers` at its prompts (which end
  // in ": "); the result's `out` is what the terminal showed.
  ProgramResult prompted(const std::vector<std::string>& arguments,
                         const std::vector<std::string>& answers) {
    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_TRUE(terminal >= 0 && ::grantpt(terminal) == 0 && ::unlockpt(terminal) == 0);
    CChildProcess::Options options;
    options.stdinFile = ::ptsname(terminal);  // opened in the child's new session: its terminal
    options.stderrFile = path("prompt.err");
    std::vector<std::string> argv{FLECK_CLI_BINARY};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    CChildProcess child(argv, options);
    ProgramResult result;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (std::size_t asked = 0; child.running() && std::chrono::steady_clock::now() < end;) {
      char c[256];
      pollfd ready{terminal, POLLIN, 0};
      const ssize_t got = ::poll(&ready, 1, 10) == 1 ? ::read(terminal, c, sizeof c) : 0;
      result.out.append(c, std::max<ssize_t>(got, 0));
      if (result.out.ends_with(": ") && asked < answers.size()) {
        const std::string line = answers[asked++] + "\n";
        EXPECT_EQ(::write(terminal, line.data(), line.size()), ssize_t(line.size()));
      }
    }
    result.status = child.wait(1000);
    ::close(terminal);
    result.err = read("prompt.err");
    return result;
  }
};

TEST_F(ToolTest, PasswordsFromAFileTheEnvironmentAndTheTerminal) {
  const Env right{{"FLECK_PASSWORD", "t0p"}};
  ProgramResult r = prompted({"create", path("disk"), "--size", "1M", "--encrypt"}, {"t0p", "t0p"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  expectSays(r.out, {"New password for " + path("disk") + ": ", "Repeat the password: "});
  EXPECT_EQ(r.out.find("t0p"), std::string::npos) << "the password was shown: " << r.out;
  ok({"check-password", path("disk")}, right);
  // The file wins over the environment, and only its first line counts.
  ok({"check-password", path("disk"), "--password-file", write("pw", "t0p\nsecond line\n")},
     {{"FLECK_PASSWORD", "wrong"}});
  fails(fleck({"check-password", path("disk"), "--password-file", write("w", "wrong")}, right), 1,
        {path("disk") + ": wrong password"});
  // A prompt is answered once for a whole chain.
  ok({"child", path("child"), "--parent", path("disk")}, right);
  r = prompted({"export", path("child"), path("out")}, {"t0p", "t0p"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  expectSays(r.out, {"Password for " + path("child") + ": "});
  EXPECT_EQ(r.out.rfind("Password for "), 0u) << r.out;
  fails(prompted({"check-password", path("disk")}, {"wrong"}), 1, {"wrong password"});
  fails(prompted({"create", path("new"), "--size", "1M", "--encrypt"}, {"one", "two"}), 1,
        {path("new") + ": the two passwords differ"});
  fails(prompted({"create", path("new"), "--size", "1M", "--encrypt"}, {""}), 1,
        {"an empty password cannot encrypt a disk"});
  EXPECT_FALSE(std::filesystem::exists(path("new")));
}

TEST_F(ToolTest, VerifyFindsDamagedFlecksOfAnEncryptedDisk) {
  const Env env{{"FLECK_PASSWORD", "verify me"}};
  makeDisk("disk", env);
  flipByte("disk/" + fleckPath(0), 40);
  ProgramResult r = fleck({"verify", path("disk"), "--threads", "3"}, env);
  EXPECT_EQ(r.status, 3) << r.out << r.err;
  expectSays(r.out, {"DAMAGED fleck 0: " + path("disk/") + fleckPath(0)});
  EXPECT_EQ(r.out.find("DAMAGED fleck 3"), std::string::npos) << r.out;
  // The fleck files of an encrypted disk are checked with the password only.
  fails(fleck({"verify", path("disk")}), 1, {"password"});
}

TEST_F(ToolTest, VerifyRepairsMetadataCopiesAndChecksTheChain) {
  makeDisk("base");
  ok({"child", path("child"), "--parent", path("base")});
  const std::string intact = read("base/disk.fleckdisk");
  flipByte("base/disk.fleckdisk", 30);
  flipByte("child/fallback/parent.flecklnk", 3);
  std::filesystem::remove(path("base/fallback/child.flecklnk"));
  flipByte("base/" + fleckPath(2), 100);

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
  expectSays(r.out, {path("base/fallback/child.flecklnk") + " missing",
                     "DAMAGED fleck 2: " + path("base/") + fleckPath(2), "repaired 2 metadata"});
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
    fails(fleck({"import", path("disk"), path("image")}), 1,
          {path("disk") + ": in use by another writer", holder});
    fails(fleck({"child", path("snapshot"), "--parent", path("disk")}), 1,
          {path("disk") + ": in use by another writer", holder});
    fails(fleck({"unlock", path("disk")}), 1, {holder, "the lock ends with its process"});
    EXPECT_EQ(describeDifferences(before, snapshotFolder(path("disk"))), "");
    EXPECT_FALSE(std::filesystem::exists(path("snapshot")));
  }
  EXPECT_EQ(ok({"unlock", path("disk")}).out, path("disk") + ": not locked\n");
  ok({"import", path("disk"), path("image")});
  // A killed writer leaves its description in the lock file, but no lock.
  write("disk/writer.flecklock", "host=gone pid=1 since=2026-01-01T00:00:00Z");
  EXPECT_EQ(ok({"unlock", path("disk")}).out, path("disk") + ": not locked\n");
}

TEST_F(ToolTest, ImportFromStandardInputFailsWhereItPassesTheEnd) {
  ok({"create", path("disk"), "--size", "256K", "--fleck-size", "16K"});
  fails(fleck({"import", path("disk"), "-"}, {}, write("big", std::string(256 * 1024 + 1, 'b'))), 1,
        {path("disk") + ": ", "larger than the disk"});
}

TEST_F(ToolTest, ProgressPlainForLogsQuietAndNoneWithoutATerminal) {
  ok({"create", path("disk"), "--size", "1M", "--fleck-size", "16K"});
  write("image", makeImage(52, 8 * kFleck));
  ProgramResult r = ok({"import", path("disk"), path("image"), "--progress", "plain"});
  expectSays(r.err, {"import: 128.0 KiB of 128.0 KiB (100%)", "MB/s"});
  r = ok({"import", path("disk"), path("image"), "--progress", "plain", "--quiet"});
  EXPECT_EQ(r.err + r.out, "");
  EXPECT_EQ(ok({"export", path("disk"), path("out")}).err.find("%)"), std::string::npos);
}

TEST_F(ToolTest, HelpAndDemo) {
  const std::string help = ok({"--help"}).out;
  expectSays(help, {"create", "child", "info", "import", "export", "verify", "check-password",
                    "unlock", "demo", "FLECK_PASSWORD"});
  EXPECT_EQ(help.find("generate-image"), std::string::npos);  // hidden
  expectSays(ok({"demo", "--size", "6M", "--dir", root.path(), "--threads", "2"}).out,
             {"both exports match their images", "MB/s", "ratio"});
  for (const auto& entry : std::filesystem::directory_iterator(root.path()))
    EXPECT_NE(entry.path().filename().string().rfind("fleck-demo-", 0), 0u) << "left behind";
}

}  // namespace
}  // namespace fleck::test
