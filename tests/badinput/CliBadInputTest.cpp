// Bad input for the `fleck` tool: folders that are no disks, damaged headers and link
// files, link loops, wrong passwords, sizes out of range, damaged fleck files and
// entries of the wrong kind. Every run must end (no hang) with a failure status and a
// message that says what is wrong, and must leave the disk's folder exactly as it was
// (every file's SHA-256 and every folder compared before and after).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "badinput/BadDisks.h"
#include "support/CChildProcess.h"
#include "support/FolderSnapshot.h"
#include "support/TempFolder.h"

namespace fleck::badinput {
namespace {

using fleck::test::ProgramResult;
using fleck::test::TempFolder;
using Environment = std::vector<std::pair<std::string, std::string>>;

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// One run of the tool on a bad input: "DISK" starting an argument stands for the case's
// folder, in `arguments` and `says`; the status must be one of `statuses` and the output
// must say every one of `says` (case does not matter).
struct ToolRun {
  std::vector<std::string> arguments;
  std::set<int> statuses;
  std::vector<std::string> says;
  Environment environment = {};
};

class CliBadInputTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root = std::make_unique<TempFolder>();
    scratch = std::make_unique<TempFolder>();
    disks = std::make_unique<BadDisks>(root->path() + "/disks");
    image = scratch->path() + "/image";
    fleck::test::writeFile(image, disks->content());
  }
  static void TearDownTestSuite() {
    std::cout << "[ bad input ] " << tried << " bad inputs tried on the tool\n";
    disks.reset();
    scratch.reset();
    root.reset();
  }

  // The folder whose every byte must stay: the case's own folder below the root.
  static std::string scopeOf(const std::string& disk) {
    const std::string base = disks->root() + "/";
    const std::size_t end = disk.find('/', base.size());
    return end == std::string::npos ? disk : disk.substr(0, end);
  }

  static void check(const BadDisks::Case& c, const std::vector<ToolRun>& runs) {
    for (const ToolRun& run : runs) {
      std::vector<std::string> arguments{FLECK_CLI_BINARY};
      std::string shown;
      for (const std::string& a : run.arguments) {
        arguments.push_back(a.rfind("DISK", 0) == 0 ? c.disk + a.substr(4) : a);
        shown += " " + a;
      }
      SCOPED_TRACE(c.name + ": fleck" + shown);
      ++tried;
      const std::string scope = scopeOf(c.disk);
      const auto before = fleck::test::snapshotFolder(scope);
      const ProgramResult result =
          fleck::test::runProgram(arguments, scratch->path(), run.environment, 60000);
      ASSERT_FALSE(result.timedOut) << "the tool did not end";
      EXPECT_TRUE(run.statuses.count(result.status) != 0) << "status " << result.status << "\n"
                                                          << result.out << result.err;
      const std::string said = lower(result.out + result.err);
      for (std::string words : run.says) {
        if (words.rfind("DISK", 0) == 0) words = c.disk + words.substr(4);
        EXPECT_NE(said.find(lower(words)), std::string::npos)
            << "the output does not say \"" << words << "\":\n"
            << result.out << result.err;
      }
      EXPECT_EQ(fleck::test::describeDifferences(before, fleck::test::snapshotFolder(scope)), "")
          << "the disk's folder changed";
    }
  }

  // The commands that open a disk, each expected to fail (status 1) saying `says`.
  static std::vector<ToolRun> opening(const std::vector<std::string>& says, int verifyStatus = 1,
                                      const Environment& environment = {}) {
    return {
        {{"export", "DISK", scratch->path() + "/out", "-q"}, {1}, says, environment},
        {{"import", "DISK", image, "-q"}, {1}, says, environment},
        {{"verify", "DISK", "-q"}, {verifyStatus}, {}, environment},
    };
  }

  static std::vector<ToolRun> all(const std::vector<std::string>& says) {
    std::vector<ToolRun> runs = opening(says);
    runs.push_back({{"info", "DISK"}, {1}, says});
    runs.push_back({{"check-password", "DISK"}, {1}, says});
    return runs;
  }

  static std::unique_ptr<TempFolder> root;
  static std::unique_ptr<TempFolder> scratch;
  static std::unique_ptr<BadDisks> disks;
  static std::string image;
  static int tried;
};

std::unique_ptr<TempFolder> CliBadInputTest::root;
std::unique_ptr<TempFolder> CliBadInputTest::scratch;
std::unique_ptr<BadDisks> CliBadInputTest::disks;
std::string CliBadInputTest::image;
int CliBadInputTest::tried = 0;

TEST_F(CliBadInputTest, FoldersThatAreNoDisks) {
  for (const BadDisks::Case& c : {disks->emptyFolder(), disks->folderOfOtherFiles()}) {
    std::vector<ToolRun> runs = all({"not a fleck disk"});
    runs.push_back(
        {{"child", scratch->path() + "/new-child", "--parent", "DISK"}, {1}, {"not a fleck disk"}});
    check(c, runs);
  }
  check(disks->missingFolder(), all({"no such folder"}));
  check(disks->fileInsteadOfFolder(), all({"not a folder"}));
}

TEST_F(CliBadInputTest, BothHeaderCopiesDamaged) {
  const auto flip = [](std::string bytes) {
    bytes[20] = static_cast<char>(bytes[20] ^ 0x40);
    return bytes;
  };
  const auto truncate = [](const std::string& bytes) { return bytes.substr(0, 10); };
  const auto empty = [](const std::string&) { return std::string(); };
  const auto garbage = [](const std::string& bytes) {
    std::string noise(bytes.size(), '\0');
    for (std::size_t i = 0; i < noise.size(); ++i)
      noise[i] = static_cast<char>(i * 37 + 11);
    return noise;
  };
  const auto oversized = [](const std::string& bytes) {
    return bytes + std::string(2 << 20, 'x');  // past the largest metadata file
  };
  for (const BadDisks::Case& c :
       {disks->damagedHeaders("flipped", flip), disks->damagedHeaders("truncated", truncate),
        disks->damagedHeaders("empty", empty), disks->damagedHeaders("garbage", garbage),
        disks->damagedHeaders("oversized", oversized), disks->headerIsFolder()}) {
    std::vector<ToolRun> runs = all({"damaged header", "disk.fleckdisk"});
    runs.back().statuses = {1};
    // verify lists both copies and cannot check the flecks.
    runs[2] = {{"verify", "DISK"}, {3}, {"DAMAGED metadata", "no intact copy of the header"}};
    check(c, runs);
  }
}

TEST_F(CliBadInputTest, HeaderFieldsOutOfRange) {
  auto int32 = [](std::int32_t v) {
    return std::string(reinterpret_cast<const char*>(&v), sizeof v);
  };
  auto int64 = [](std::int64_t v) {
    return std::string(reinterpret_cast<const char*>(&v), sizeof v);
  };
  // Sizes the library cannot map (fleck size at 32, disk size at 40).
  for (const BadDisks::Case& c :
       {disks->patchedHeader("fleck-size-0", 32, int32(0)),
        disks->patchedHeader("fleck-size-negative", 32, int32(-4096)),
        disks->patchedHeader("fleck-size-2g", 32, int32(0x7fffffff)),
        disks->patchedHeader("disk-size-negative", 40, int64(-5)),
        disks->patchedHeader("disk-size-past-the-tree", 40, int64(std::int64_t{1} << 62))}) {
    check(c, opening({"sizes that cannot be mapped"}));
  }
  // A reader (16) and a writer (24) version from the future.
  check(disks->patchedHeader("reader-version", 16, int64(2)), all({"newer version"}));
  check(disks->patchedHeader("writer-version", 24, int64(7)),
        {{{"import", "DISK", image, "-q"}, {1}, {"newer version", "write"}}});
  // String lengths (the first string's length field at 48) far past the file, and
  // negative.
  check(disks->patchedHeader("string-length-huge", 48, int32(0x7fffffff)), all({"damaged header"}));
  check(disks->patchedHeader("string-length-negative", 48, int32(-3)), all({"damaged header"}));
}

TEST_F(CliBadInputTest, DamagedAndLoopingLinks) {
  std::vector<ToolRun> runs = opening({"parent.flecklnk"});
  runs.push_back({{"info", "DISK"}, {1}, {"damaged link file", "parent.flecklnk"}});
  check(disks->garbageParentLink(), runs);

  for (const BadDisks::Case& c : {disks->parentLinkToItself(), disks->parentLinksInACircle()}) {
    std::vector<ToolRun> loops = opening({"circle"});
    loops.push_back({{"info", "DISK"}, {1}, {"circle"}});
    loops.push_back({{"verify", "DISK", "--chain"}, {1}, {"circle"}});
    loops.push_back(
        {{"child", scratch->path() + "/loop-child", "--parent", "DISK"}, {1}, {"circle"}});
    check(c, loops);
  }
  std::vector<ToolRun> orphan = opening({"parent disk", "missing"});
  orphan.push_back(
      {{"child", scratch->path() + "/orphan-child", "--parent", "DISK"}, {1}, {"missing"}});
  check(disks->missingParent(), orphan);
  check(disks->parentNotADisk(), opening({"parent disk", "not a fleck disk"}));

  // A child link that does not lead back: writers refuse the disk and verify reports it.
  int made = 0;
  for (const BadDisks::Case& c :
       {disks->staleChildLink(), disks->childLinkToAFolderWithoutDisk()}) {
    const std::string newChild = scratch->path() + "/linked-" + std::to_string(++made);
    check(c, {{{"import", "DISK", image, "-q"}, {1}, {"DISK/child.flecklnk", "leads to"}},
              {{"verify", "DISK"}, {3}, {"DAMAGED child link", "DISK/child.flecklnk"}},
              {{"verify", "DISK", "--chain"}, {3}, {"child.flecklnk"}},
              {{"child", newChild, "--parent", "DISK"}, {1}, {"child.flecklnk"}},
              {{"export", "DISK", scratch->path() + "/out", "-q"}, {0}, {}}});
  }
  std::vector<ToolRun> child = opening({"child.flecklnk"});
  child.push_back({{"info", "DISK"}, {1}, {"damaged link file", "child.flecklnk"}});
  child.push_back(
      {{"child", scratch->path() + "/second-child", "--parent", "DISK"}, {1}, {"child.flecklnk"}});
  check(disks->garbageChildLink(), child);
  check(disks->childLinkToItself(),
        {{{"import", "DISK", image, "-q"}, {1}, {"circle"}},
         {{"info", "DISK"}, {1}, {"circle"}},
         {{"child", scratch->path() + "/third-child", "--parent", "DISK"}, {1}, {"circle"}}});
}

TEST_F(CliBadInputTest, Passwords) {
  const BadDisks::Case secret{"encrypted disk", disks->copyOf("passwords", true)};
  const Environment wrong{{"FLECK_PASSWORD", "wrong password"}};
  std::vector<ToolRun> runs = opening({"wrong password"}, 1, wrong);
  runs.push_back({{"check-password", "DISK"}, {1}, {"wrong password"}, wrong});
  runs.push_back({{"check-password", "DISK", "--password-file", scratch->path() + "/nothing"},
                  {1, 2},
                  {"nothing"}});
  // A NUL would cut the password short and a byte that is no UTF-8 would be replaced:
  // both refused, from a file and from the environment, also for a new disk.
  const std::string nulFile = scratch->path() + "/nul-password";
  fleck::test::writeFile(nulFile, std::string("\0secret\n", 8));
  const Environment latin1{{"FLECK_PASSWORD", "caf\xe9"}};
  runs.push_back({{"check-password", "DISK", "--password-file", nulFile}, {1}, {"NUL byte"}});
  runs.push_back({{"check-password", "DISK"}, {1}, {"FLECK_PASSWORD", "not valid UTF-8"}, latin1});
  runs.push_back({{"create", "DISK/new", "--size", "1M", "--encrypt", "--password-file", nulFile},
                  {1},
                  {"NUL byte"}});
  runs.push_back(
      {{"create", "DISK/new", "--size", "1M", "--encrypt"}, {1}, {"not valid UTF-8"}, latin1});
  // No password and no terminal to ask on.
  for (ToolRun run : opening({"password is needed"})) {
    run.environment.clear();
    runs.push_back(run);
  }
  check(secret, runs);

  const BadDisks::Case plain{"unencrypted disk", disks->copyOf("no-password")};
  const Environment given{{"FLECK_PASSWORD", "something"}};
  std::vector<ToolRun> refused = opening({"not encrypted", "password was given"}, 1, given);
  refused.push_back({{"check-password", "DISK"}, {1}, {"not encrypted"}, given});
  check(plain, refused);
}

TEST_F(CliBadInputTest, DamagedFleckFiles) {
  const auto truncate = [](const std::string& bytes) { return bytes.substr(0, 100); };
  const auto empty = [](const std::string&) { return std::string(); };
  const auto longer = [](const std::string& bytes) { return bytes + std::string(5000, 'z'); };
  const auto huge = [](const std::string&) { return std::string(7 << 20, 'h'); };
  const auto garbage = [](const std::string& bytes) {
    std::string noise(bytes.size(), '\0');
    for (std::size_t i = 0; i < noise.size(); ++i)
      noise[i] = static_cast<char>(i * 131 + 7);
    return noise;
  };
  const auto flip = [](std::string bytes) {
    bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 1);
    return bytes;
  };
  const std::string fleck = "fleck " + std::to_string(BadDisks::kDamagedFleck);
  for (const BadDisks::Case& c :
       {disks->damagedFleck("fleck-truncated", truncate), disks->damagedFleck("fleck-empty", empty),
        disks->damagedFleck("fleck-longer", longer), disks->damagedFleck("fleck-huge", huge),
        disks->damagedFleck("fleck-garbage", garbage), disks->damagedFleck("fleck-flipped", flip),
        disks->shortRecordFleck()}) {
    check(c, {{{"verify", "DISK"}, {3}, {"DAMAGED " + fleck}},
              {{"verify", "DISK", "--threads", "1"},
               {3},
               {BadDisks::fleckPath(BadDisks::kDamagedFleck)}},
              {{"export", "DISK", scratch->path() + "/out", "-q"}, {1}, {fleck, "corrupted"}}});
  }
}

TEST_F(CliBadInputTest, EntriesOfTheWrongKind) {
  const std::string fleck = "fleck " + std::to_string(BadDisks::kDamagedFleck);
  check(disks->fleckIsFolder(),
        {{{"verify", "DISK"}, {3}, {"a folder where the tree needs a fleck file"}},
         {{"export", "DISK", scratch->path() + "/out", "-q"}, {1}, {fleck, "not a regular file"}}});
  for (const BadDisks::Case& c : {disks->fleckIsFifo(), disks->fleckIsSymlink()}) {
    check(
        c,
        {{{"export", "DISK", scratch->path() + "/out", "-q"}, {1}, {fleck, "not a regular file"}}});
  }
  check(disks->flecksIsFile(),
        {{{"verify", "DISK"}, {3}, {"a file where the tree needs a folder"}}});
  check(disks->treeFolderIsFile(),
        {{{"verify", "DISK"}, {3}, {"a file where the tree needs a folder"}}});
  check(disks->fallbackIsFile(), {{{"verify", "DISK"}, {3}, {"fallback"}}});
}

TEST_F(CliBadInputTest, SizesOutOfRange) {
  const BadDisks::Case c{"sizes", disks->copyOf("sizes")};
  const std::string fresh = c.disk + "/new";  // must not appear
  std::vector<ToolRun> runs;
  for (const char* size : {"0", "-1", "5000T", "1MB", "abc", "1.5", "99999999999999999999"})
    runs.push_back({{"create", fresh, "--size", size}, {2}, {"--size"}});
  for (const char* size : {"0", "2G", "1MB", "-64K"})
    runs.push_back(
        {{"create", fresh, "--size", "1M", "--fleck-size", size}, {2}, {"--fleck-size"}});
  runs.push_back({{"create", fresh, "--size", "1M", "--compress", "bogus"}, {2}, {"compressor"}});
  runs.push_back({{"create", "DISK", "--size", "1M"}, {1}, {"holds a disk already"}});
  runs.push_back({{"create", "DISK/disk.fleckdisk", "--size", "1M"}, {1}, {"exists"}});
  const std::string out = scratch->path() + "/out";
  runs.push_back({{"export", "DISK", out, "--offset", "2M"}, {2}, {"past the disk's end"}});
  runs.push_back({{"export", "DISK", out, "--length", "2M"}, {2}, {"past the disk's end"}});
  runs.push_back({{"export", "DISK", out, "--offset", "1M", "--length", "1"}, {2}, {"end"}});
  runs.push_back({{"export", "DISK", out, "--offset", "-5"}, {2}, {"negative"}});
  runs.push_back({{"export", "DISK", out, "--threads", "0"}, {2}, {"threads"}});
  runs.push_back({{"import", "DISK", image, "--threads", "300"}, {2}, {"threads"}});
  const std::string big = scratch->path() + "/big-image";
  fleck::test::writeFile(big, std::string(BadDisks::kDiskSize + 1, 'b'));
  runs.push_back({{"import", "DISK", big}, {1}, {"larger than the disk", "nothing was imported"}});
  runs.push_back({{"import", "DISK", scratch->path() + "/no-such-image"}, {1}, {"no-such-image"}});
  check(c, runs);
}

}  // namespace
}  // namespace fleck::badinput
