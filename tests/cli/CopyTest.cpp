// `fleck copy`: a chain copied whole and again after a change (only the change is
// written), one snapshot as a standalone disk, and a copy under a new password.
#include <gtest/gtest.h>

#include <random>

#include "support/CChildProcess.h"
#include "support/TempFolder.h"

namespace fleck::test {
namespace {

using Env = std::vector<std::pair<std::string, std::string>>;
constexpr std::size_t kFleck = 16 * 1024, kFlecks = 64;

class CopyTest : public ::testing::Test {
 protected:
  ProgramResult fleck(const std::vector<std::string>& arguments, const Env& env) const {
    std::vector<std::string> argv{FLECK_CLI_BINARY};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    CChildProcess::Options options;
    options.environment = env;
    return runProgram(argv, root.path(), options, 120000);
  }
  std::string ok(const std::vector<std::string>& arguments, const Env& env = kOld) const {
    const ProgramResult r = fleck(arguments, env);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    return r.out;
  }
  std::string exported(const std::string& disk, const Env& env = kOld) const {
    return ok({"export", path(disk), "-"}, env);
  }
  // Every disk of the chain exports as its copy below `copy`.
  void expectSameChain(const std::string& copy, const Env& env = kOld) const {
    for (const char* disk : {"live", "s1", "s2"})
      EXPECT_TRUE(exported(copy + "/" + disk, env) == exported(disk)) << copy << "/" << disk;
  }
  // Imports `image`, with fleck `f` set to `fill` (zeros stay zeros: no file).
  void change(std::string& image, std::size_t f, char fill) const {
    image.replace(f * kFleck, kFleck, std::string(kFleck, fill));
    image[f * kFleck] = fill == 0 ? 0 : static_cast<char>(f);
    writeFile(path("image"), image);
  }
  std::string path(const std::string& name) const { return root.path() + "/" + name; }

  static inline const Env kOld{{"FLECK_PASSWORD", "old secret"}};
  TempFolder root;
};

TEST_F(CopyTest, ChainsAndSingleDisksCopyIncrementallyAndUnderANewPassword) {
  std::mt19937 random(7);
  std::string image(kFleck * kFlecks, '\0');
  for (std::size_t i = 0; i < image.size() / 2; ++i)
    image[i] = static_cast<char>(random() % 4);
  writeFile(path("image"), image);
  // live -> s2 -> s1: s1 keeps flecks 1 and 2 as they were first, s2 flecks 3 and 7, and a
  // record of zeros for fleck 40 (no file in live before).
  ok({"create", path("live"), "--size", "1M", "--fleck-size", "16K", "--encrypt"});
  ok({"import", path("live"), path("image")});
  ok({"child", path("s1"), "--parent", path("live")});
  change(image, 1, 'a'), change(image, 2, 'b');
  ok({"import", path("live"), path("image"), "-i"});
  ok({"child", path("s2"), "--parent", path("live")});
  change(image, 3, 'c'), change(image, 7, 'd'), change(image, 40, 'z');
  ok({"import", path("live"), path("image"), "-i"});

  const std::string first = ok({"copy", "--chain", path("s2"), path("copy"), "--json"});
  EXPECT_NE(first.find("\"disks\": 3,"), std::string::npos) << first;
  EXPECT_NE(first.find("\"skipped\": 0,"), std::string::npos) << first;
  expectSameChain("copy");

  // A new fleck 3 and a zeroed fleck 7 in live (whose old files s2 holds already): one
  // file is written and one deleted, in live's copy only.
  change(image, 3, 'e'), change(image, 7, '\0');
  ok({"import", path("live"), path("image"), "-i"});
  const std::string again = ok({"copy", "--chain", path("s2"), path("copy"), "--json"});
  for (const char* count : {"\"copied\": 1,", "\"deleted\": 1,"})
    EXPECT_NE(again.find(count), std::string::npos) << again;
  expectSameChain("copy");
  // A new snapshot s3 keeps live's old flecks 3 and 5, which live's copy holds: they move
  // within the destination, and only live's two new flecks are sent.
  ok({"child", path("s3"), "--parent", path("live")});
  change(image, 3, 'f'), change(image, 5, 'g');
  ok({"import", path("live"), path("image"), "-i"});
  const std::string snapshot = ok({"copy", "--chain", path("s2"), path("copy"), "--json"});
  for (const char* count : {"\"copied\": 2,", "\"moved\": 2,"})
    EXPECT_NE(snapshot.find(count), std::string::npos) << snapshot;
  expectSameChain("copy");
  EXPECT_TRUE(exported("copy/s3") == exported("s3"));

  // One snapshot alone: no links, the flecks it reads through its parents its own, the
  // record of zeros left out.
  EXPECT_NE(ok({"copy", path("s2"), path("single"), "--json"}).find("\"zero_records_dropped\": 1,"),
            std::string::npos);
  EXPECT_TRUE(exported("single") == exported("s2"));
  EXPECT_NE(ok({"info", path("single"), "--json"}).find("\"parents\": [],"), std::string::npos);

  // A new password (and salt): the copy opens with it only; copying again changes nothing.
  const Env both{kOld[0], {"FLECK_NEW_PASSWORD", "new secret"}};
  ok({"copy", "--chain", path("s2"), path("rekeyed"), "--new-password"}, both);
  expectSameChain("rekeyed", {{"FLECK_PASSWORD", "new secret"}});
  const ProgramResult old = fleck({"export", path("rekeyed/s1"), "-"}, kOld);
  EXPECT_NE(old.err.find("wrong password"), std::string::npos) << old.err;
  const std::string rerun =
      ok({"copy", "--chain", path("s2"), path("rekeyed"), "--new-password", "--json"}, both);
  EXPECT_NE(rerun.find("\"copied\": 0,"), std::string::npos) << rerun;
  // Into a copy under another key it refuses to go.
  EXPECT_NE(
      fleck({"copy", "--chain", path("s2"), path("rekeyed")}, kOld).err.find("another header"),
      std::string::npos);

  // A damaged source file is named and not copied; the copy stays unfinished.
  const std::string damaged = path("s1/flecks/d00/c00/b00/a00/01.fleck");
  std::string bytes = readFile(damaged);
  bytes[20] ^= 1;
  writeFile(damaged, bytes);
  EXPECT_NE(fleck({"copy", path("s1"), path("bad")}, kOld).err.find("01.fleck is damaged"),
            std::string::npos);
  EXPECT_NE(fleck({"export", path("bad"), "-"}, kOld).err.find("interrupted copy"),
            std::string::npos);
}

}  // namespace
}  // namespace fleck::test
