// What the tool itself owns: password sources and prompts, verify's repairs, the refusal
// of a second writer in another process, progress and the demo. (Each damaged or wrong
// input with its words and exit status is a row of the bad-input table.)
#include <poll.h>
#include <unistd.h>

#include "CliTest.h"
#include "fleck/CFleckDisk.h"
#include "support/FolderSnapshot.h"
#include "zel/CLocalFileSystem.h"

namespace fleck::test {
namespace {

class ToolTest : public CliTest {
 protected:
  // Runs the tool on a terminal of its own and types `answers` at its prompts (which end
  // in ": "); `out` is what the terminal showed.
  ProgramResult prompted(std::vector<std::string> arguments, std::vector<std::string> answers) {
    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_TRUE(::grantpt(terminal) == 0 && ::unlockpt(terminal) == 0);
    CChildProcess::Options options;
    options.stdinFile = ::ptsname(terminal);  // opened in the child's new session: its terminal
    options.stderrFile = path("prompt.err");
    arguments.insert(arguments.begin(), FLECK_CLI_BINARY);
    CChildProcess child(arguments, options);
    ProgramResult r;
    for (char c[256]; child.running();) {
      pollfd ready{terminal, POLLIN, 0};
      r.out.append(c, std::max(::poll(&ready, 1, 10) == 1 ? ::read(terminal, c, 256) : 0, 0L));
      if (!r.out.ends_with(": ") || answers.empty()) continue;
      EXPECT_GT(::write(terminal, (answers[0] + "\n").c_str(), answers[0].size() + 1), 0);
      answers.erase(answers.begin());
    }
    r.status = child.wait(), r.err = read("prompt.err");
    return ::close(terminal), r;
  }
};

TEST_F(ToolTest, PasswordsFromTheTerminalAFileAndTheEnvironment) {
  ProgramResult r = prompted({"create", path("disk"), "--size", "1M", "--encrypt"}, {"t0p", "t0p"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  expectSays(r.out, {"New password for " + path("disk") + ": ", "Repeat the password: "});
  EXPECT_EQ(r.out.find("t0p"), std::string::npos) << "the password was shown";
  fails(prompted({"create", path("new"), "--size", "1M", "--encrypt"}, {"one", "two"}), 1,
        {path("new") + ": the two passwords differ"});
  EXPECT_FALSE(std::filesystem::exists(path("new")));
  // The file wins over the environment, and only its first line counts.
  ok({"check-password", path("disk"), "--password-file", write("pw", "t0p\nsecond line\n")},
     {{"FLECK_PASSWORD", "wrong"}});
  fails(fleck({"check-password", path("disk"), "--password-file", write("w", "wrong")},
              {{"FLECK_PASSWORD", "t0p"}}),
        1, {path("disk") + ": wrong password"});
  // One answer serves a whole chain.
  ok({"child", path("child"), "--parent", path("disk")}, {{"FLECK_PASSWORD", "t0p"}});
  r = prompted({"export", path("child"), path("out")}, {"t0p", "t0p"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.rfind("Password for "), 0u) << r.out;
  fails(prompted({"check-password", path("disk")}, {"wrong"}), 1, {"wrong password"});
}

TEST_F(ToolTest, VerifyRepairsMetadataCopiesAndChecksTheChain) {
  ok({"create", path("base"), "--size", "512K", "--fleck-size", "16K"});
  ok({"import", path("base"), write("image", makeImage(31, 20 * kFleck))});
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

TEST_F(ToolTest, ProgressAndDemo) {
  ok({"create", path("disk"), "--size", "1M", "--fleck-size", "16K"});
  write("image", makeImage(52, 8 * kFleck));
  ProgramResult r = ok({"import", path("disk"), path("image"), "--progress", "plain"});
  expectSays(r.err, {"import: 128.0 KiB of 128.0 KiB (100%)", "MB/s"});
  r = ok({"import", path("disk"), path("image"), "--progress", "plain", "--quiet"});
  EXPECT_EQ(r.err + r.out, "");
  // Standard error is no terminal here: no progress by default.
  EXPECT_EQ(ok({"export", path("disk"), path("out")}).err.find("%)"), std::string::npos);
  std::filesystem::create_directory(path("demo"));
  expectSays(ok({"demo", "--size", "6M", "--dir", path("demo"), "--threads", "2"}).out,
             {"both exports match their images", "MB/s", "ratio"});
  EXPECT_TRUE(std::filesystem::is_empty(path("demo"))) << "the demo left files behind";
}

}  // namespace
}  // namespace fleck::test
