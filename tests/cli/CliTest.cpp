// The tool as its users run it: images through it and back, --incremental, chains and their
// snapshots (also read while another process imports), password sources and prompts,
// verify's repairs, a second writer refused. Bad inputs are rows of the bad-input table.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <set>
#include <tuple>

#include "fleck/CFleckDisk.h"
#include "support/CChildProcess.h"
#include "support/FolderSnapshot.h"
#include "support/TempFolder.h"
#include "zel/CLocalFileSystem.h"

namespace fleck::test {
namespace {

using Env = std::vector<std::pair<std::string, std::string>>;
constexpr std::size_t kFleck = 16 * 1024;

// Quarter flecks of random bytes, of text (the same in every image) and of zeros; every
// third fleck all zeros. Deterministic for a seed.
std::string makeImage(std::uint64_t seed, std::size_t size) {
  std::mt19937_64 random(seed);
  std::string image(size, '\0');
  for (std::size_t at = 0; at < size; at += kFleck / 4) {
    const auto kind = random() % 4;
    for (std::size_t i = at; i < std::min(size, at + kFleck / 4) && i / kFleck % 3 != 1; ++i)
      image[i] = kind == 0 ? '\0' : kind == 1 ? "lazy fleck "[i % 11] : char(random());
  }
  return image;
}
bool isZero(const std::string& bytes, std::size_t offset, std::size_t length) {
  return bytes.find_first_not_of('\0', offset) >= offset + length;
}
void expectSays(const std::string& text, const std::vector<std::string>& parts) {
  for (const std::string& part : parts)
    EXPECT_NE(text.find(part), std::string::npos) << "no \"" << part << "\" in: " << text;
}

CChildProcess::Options options(const std::string& in, const std::string& err, const Env& env = {}) {
  CChildProcess::Options options;
  options.stdinFile = in, options.stderrFile = err, options.environment = env;
  return options;
}

class CliTest : public ::testing::Test {
 protected:
  ProgramResult fleck(const std::vector<std::string>& arguments, const Env& env = {},
                      const std::string& stdinFile = "") const {
    std::vector<std::string> argv{FLECK_CLI_BINARY};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runProgram(argv, root.path(), options(stdinFile, "", env), 300000);
  }
  ProgramResult ok(const std::vector<std::string>& arguments, const Env& env = {}) const {
    ProgramResult r = fleck(arguments, env);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    return r;
  }
  // Expects the status and one line on standard error that says every one of `parts`.
  void fails(const ProgramResult& r, int status, const std::vector<std::string>& parts) const {
    EXPECT_EQ(r.status, status) << r.out << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    expectSays(r.err, parts);
  }
  std::string exported(const std::string& disk, std::size_t length, const Env& env = {}) const {
    return ok({"export", path(disk), "-", "--length", std::to_string(length)}, env).out;
  }
  std::string path(const std::string& name) const { return root.path() + "/" + name; }
  std::string write(const std::string& name, const std::string& bytes) const {
    writeFile(path(name), bytes);
    return path(name);
  }
  std::string read(const std::string& name) const { return readFile(path(name)); }

  // A disk's fleck files; with `stored`, only those stored since ageFleckFiles aged them.
  std::set<std::string> fleckFiles(const std::string& disk, bool stored = false) const {
    std::set<std::string> files;
    std::error_code missing;
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(path(disk) + "/flecks", missing)) {
      struct stat info {};
      if (entry.is_regular_file() && ::stat(entry.path().c_str(), &info) == 0 &&
          !(stored && info.st_mtime == kAged))
        files.insert(std::filesystem::relative(entry.path(), path(disk)).string());
    }
    return files;
  }
  static constexpr std::time_t kAged = 946684800;
  void ageFleckFiles(const std::string& disk) const {
    const timespec times[2] = {{kAged, 0}, {kAged, 0}};
    for (const std::string& file : fleckFiles(disk))
      ASSERT_EQ(::utimensat(AT_FDCWD, (path(disk) + "/" + file).c_str(), times, 0), 0);
  }
  static std::string fleckPath(int index) {  // of the first 16
    return std::string("flecks/d00/c00/b00/a00/0") + "0123456789abcdef"[index] + ".fleck";
  }
  void flipByte(const std::string& name, std::size_t offset) const {
    std::string bytes = read(name);
    bytes.at(offset) ^= 0x5a;
    write(name, bytes);
  }

  // Runs the tool on a terminal of its own, typing `answers` at its prompts; `out` shows it.
  ProgramResult prompted(std::vector<std::string> arguments, std::vector<std::string> answers) {
    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_TRUE(::grantpt(terminal) == 0 && ::unlockpt(terminal) == 0);
    arguments.insert(arguments.begin(), FLECK_CLI_BINARY);
    // Opened in the child's new session, the terminal becomes its controlling terminal.
    CChildProcess child(arguments, options(::ptsname(terminal), path("prompt.err")));
    ProgramResult r;
    for (char c[256]; child.running();) {
      pollfd ready{terminal, POLLIN, 0};
      r.out.append(c, std::max(::poll(&ready, 1, 10) == 1 ? ::read(terminal, c, 256) : 0, 0L));
      if (!r.out.ends_with(": ") || answers.empty()) continue;
      EXPECT_GT(::write(terminal, (answers[0] + "\n").c_str(), answers[0].size() + 1), 0);
      answers.erase(answers.begin()), r.out += '\n';  // answered: wait for the next prompt
    }
    r.status = child.wait(), r.err = read("prompt.err");
    return ::close(terminal), r;
  }

  TempFolder root;
};

class RoundTripTest : public CliTest,
                      public ::testing::WithParamInterface<std::tuple<std::string, bool>> {};

TEST_P(RoundTripTest, ImportExportVerifyAndInfo) {
  const auto& [compressor, encrypted] = GetParam();
  // Not a multiple of the fleck size, and smaller than the disk.
  const std::string image = makeImage(20240501, 40 * kFleck + 1000);
  int stored = 0;
  for (std::size_t at = 0; at < image.size(); at += kFleck)
    stored += isZero(image, at, std::min(kFleck, image.size() - at)) ? 0 : 1;
  const Env env = encrypted ? Env{{"FLECK_PASSWORD", "s3cret pass"}} : Env{};
  std::vector<std::string> create{"create",       path("disk"), "--size",     "1M",
                                  "--fleck-size", "16K",        "--compress", compressor};
  if (encrypted) create.push_back("--encrypt");
  ok(create, env);
  expectSays(
      ok({"import", path("disk"), write("image", image), "--threads=3", "--progress=plain"}, env)
          .err,
      {"import: ", " (100%)", "MB/s"});
  EXPECT_EQ(static_cast<int>(fleckFiles("disk").size()), stored);
  // Standard error is no terminal here: no progress unless asked for.
  EXPECT_EQ(ok({"export", path("disk"), path("out"), "--threads=2"}, env).err.find("%)"),
            std::string::npos);
  const std::string out = read("out");
  ASSERT_EQ(out.size(), std::size_t{1} << 20);
  EXPECT_TRUE(out.compare(0, image.size(), image) == 0);
  EXPECT_TRUE(isZero(out, image.size(), out.size() - image.size()));
  struct stat info {};
  ASSERT_EQ(::stat(path("out").c_str(), &info), 0);
  EXPECT_LT(static_cast<std::size_t>(info.st_blocks) * 512, out.size() / 2) << "not sparse";
  // A range off the fleck boundaries, in order (a pipe) and at offsets (a file).
  EXPECT_TRUE(
      ok({"export", path("disk"), "-", "--offset", "20000", "--length", "100000"}, env).out ==
      image.substr(20000, 100000));
  ok({"export", path("disk"), path("range"), "--offset", "20000", "--length", "100000"}, env);
  EXPECT_TRUE(read("range") == image.substr(20000, 100000));
  expectSays(ok({"verify", path("disk"), "--threads", "3"}, env).out, {"all intact"});
  expectSays(ok({"info", path("disk"), "--json"}).out,
             {"\"stored_flecks\": " + std::to_string(stored), "\"disk_size\": 1048576",
              "\"compressor\": \"" + compressor + "\"",
              std::string("\"encrypted\": ") + (encrypted ? "true" : "false")});

  // Standard input ending inside a fleck: the rest of it and the flecks behind keep theirs.
  const std::string part = makeImage(8, 3 * kFleck + 100);
  const ProgramResult r =
      fleck({"import", path("disk"), "-", "--progress=plain", "--quiet"}, env, write("part", part));
  EXPECT_EQ(std::to_string(r.status) + r.out + r.err, "0");
  EXPECT_TRUE(exported("disk", image.size(), env) == part + image.substr(part.size()));
  // It has no size to check first: it fails where it passes the end.
  fails(fleck({"import", path("disk"), "-"}, env, write("big", std::string((1 << 20) + 1, 'b'))), 1,
        {path("disk") + ": ", "larger than the disk"});
}

INSTANTIATE_TEST_SUITE_P(Compressors, RoundTripTest,
                         ::testing::Combine(::testing::Values("null", "lz4", "lz4hc", "zlib-6",
                                                              "lzma-1"),
                                            ::testing::Bool()));

// --incremental: the flecks whose content did not change keep their files untouched.
using IncrementalTest = CliTest;

TEST_F(IncrementalTest, WritesOnlyChangedFlecks) {
  const std::string original = makeImage(11, 30 * kFleck);
  std::string changed = original;
  changed[3 * kFleck + 5] ^= 1;                                    // one byte of fleck 3
  changed.replace(6 * kFleck, kFleck, std::string(kFleck, '\0'));  // data to zeros
  changed.replace(10 * kFleck, kFleck, std::string(kFleck, 'n'));  // zeros to data
  const Env env{{"FLECK_PASSWORD", "incremental"}};
  ok({"create", path("disk"), "--size", "1M", "--fleck-size", "16K", "--encrypt"}, env);
  ok({"import", path("disk"), write("original", original)}, env);
  const auto before = fleckFiles("disk");
  ASSERT_TRUE(before.count(fleckPath(6)) == 1 && before.count(fleckPath(10)) == 0);

  ageFleckFiles("disk");
  expectSays(ok({"import", path("disk"), path("original"), "--incremental"}, env).out,
             {"0 stored"});
  EXPECT_TRUE(fleckFiles("disk", true).empty());
  ok({"import", path("disk"), write("changed", changed), "--incremental"}, env);
  EXPECT_EQ(fleckFiles("disk", true), (std::set<std::string>{fleckPath(3), fleckPath(10)}));
  EXPECT_EQ(fleckFiles("disk").count(fleckPath(6)), 0u);
  EXPECT_EQ(fleckFiles("disk").size(), before.size());
  EXPECT_TRUE(exported("disk", changed.size(), env) == changed);
}

using ChainTest = CliTest;

TEST_F(ChainTest, LinkedChildrenKeepSnapshotsAndADetachedOneLeavesItsParentAlone) {
  const std::string original = makeImage(21, 32 * kFleck), third = makeImage(22, 32 * kFleck);
  std::string changed = original;
  for (std::size_t index : {0, 5, 9})
    changed[index * kFleck + 77] = 'C';
  changed.replace(2 * kFleck, kFleck, std::string(kFleck, '\0'));  // zeros over data
  changed.replace(4 * kFleck, kFleck, std::string(kFleck, 'd'));   // data over zeros
  ok({"create", path("base"), "--size", "512K", "--fleck-size", "16K"});
  ok({"import", path("base"), write("original", original)});
  // base <- middle <- snapshot: middle has no flecks of its own at first, so the old bytes
  // it hands on come from base; then base hands on its own files.
  ok({"child", path("middle"), "--parent", path("base")});
  ok({"child", path("snapshot"), "--parent", path("middle")});
  ok({"import", path("middle"), write("changed", changed), "--incremental"});
  ok({"import", path("base"), write("third", third), "--threads=1"});
  EXPECT_TRUE(exported("base", original.size()) == third);
  EXPECT_TRUE(exported("middle", original.size()) == changed);
  EXPECT_TRUE(exported("snapshot", original.size()) == original);
  expectSays(ok({"info", path("middle")}).out, {path("base") + " (nearest)", path("snapshot")});
  expectSays(ok({"info", path("base"), "--json"}).out, {"\"child\": \"" + path("middle") + "\""});

  // A detached child reads through, and stores only what differs from its parent: data, a
  // record of zeros over data (fleck 2), data over zeros (fleck 4).
  ageFleckFiles("snapshot");
  const auto snapshotFiles = fleckFiles("snapshot");
  ok({"child", path("overlay"), "--parent", path("snapshot"), "--detached"});
  EXPECT_TRUE(exported("overlay", original.size()) == original);
  ok({"import", path("overlay"), path("changed"), "--incremental"});
  EXPECT_EQ(fleckFiles("overlay"), (std::set<std::string>{fleckPath(0), fleckPath(2), fleckPath(4),
                                                          fleckPath(5), fleckPath(9)}));
  EXPECT_TRUE(exported("overlay", original.size()) == changed);
  ok({"import", path("overlay"), path("original"), "--incremental"});
  EXPECT_TRUE(exported("overlay", original.size()) == original);
  EXPECT_TRUE(exported("snapshot", original.size()) == original);
  EXPECT_EQ(fleckFiles("snapshot"), snapshotFiles);
  EXPECT_TRUE(fleckFiles("snapshot", true).empty());
  expectSays(ok({"info", path("snapshot"), "--json"}).out, {"\"child\": null"});
}

// Snapshots read while their parent's import runs in another process: any fleck can move
// from the parent into the snapshot between the reader's looks into each.
using SnapshotRaceTest = CliTest;
constexpr std::size_t kSmall = 4 * 1024;

// The first fleck of `disk` (read by a fresh disk object) that differs from `expected`.
std::string difference(const std::string& disk, const std::string& expected) {
  CFleckDisk reader(zel::make<zel::CLocalFileSystem>(), zel::CURI::fromLocalPath(disk), "",
                    zel::IIOStream::AccessRead, 1);
  std::string got(kSmall, '\0');
  for (std::size_t at = 0; at < expected.size(); at += kSmall) {
    reader.read(got.data(), static_cast<int>(kSmall));
    if (got.compare(0, kSmall, expected, at, kSmall) != 0) return std::to_string(at / kSmall);
  }
  return "";
}

TEST_F(SnapshotRaceTest, SnapshotReadsStayExactWhileTheParentImportsInAnotherProcess) {
  const char* given = std::getenv("FLECK_TEST_SEED");
  const std::uint64_t seed = given != nullptr ? std::stoull(given) : 33;
  std::cout << "seed " << seed << " (FLECK_TEST_SEED)\n";
  // Each small fleck is zeros, text as in every image or new bytes: all kinds of change.
  std::vector<std::string> images{makeImage(seed << 8, 2 << 20)};
  ok({"create", path("parent"), "--size", "2M", "--fleck-size", "4K"});
  ok({"import", path("parent"), write("image", images[0]), "--no-sync"});
  for (std::size_t round = 0; round < 12; ++round) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round));
    const std::string snapshot = path("snapshot" + std::to_string(round));
    ok({"child", snapshot, "--parent", path("parent")});
    images.push_back(makeImage((seed << 8) + round + 1, 2 << 20));
    write("image", images.back());
    // Killed when it ends with the iteration, also after a failed assertion.
    CChildProcess import(
        {FLECK_CLI_BINARY, "import", path("parent"), path("image"), "--threads", "2", "--no-sync"},
        options("", path("import.err")));
    do {
      ASSERT_EQ(difference(snapshot, images[round]), "") << "differs during the import";
    } while (import.running());
    ASSERT_EQ(import.wait(), 0) << read("import.err");
    ASSERT_EQ(difference(path("parent"), images.back()), "") << "the parent";
  }
  // The older snapshots, now behind newer ones in the chain, kept theirs too.
  for (std::size_t round = 0; round < 12; ++round)
    EXPECT_EQ(difference(path("snapshot" + std::to_string(round)), images[round]), "") << round;
}

// A chain of four: live -> s3 -> s2 -> s1, each snapshot taken before the live disk got
// another image (some flecks changed, some to zeros, some from zeros). Removing a snapshot
// at any position leaves every other disk reading exactly what it read.
class RemoveTest : public CliTest, public ::testing::WithParamInterface<int> {
 protected:
  std::vector<std::string> buildChain(const Env& env) {
    std::vector<std::string> images{makeImage(41, 24 * kFleck)};
    ok({"create", path("live"), "--size", "384K", "--fleck-size", "16K",
        env.empty() ? "--compress=lz4" : "--encrypt"},
       env);
    ok({"import", path("live"), write("image", images[0])}, env);
    std::mt19937_64 random(42);
    for (int s = 1; s <= 3; ++s) {
      ok({"child", path("s" + std::to_string(s)), "--parent", path("live")}, env);
      std::string next = images.back();
      for (int change = 0; change < 8; ++change) {
        const std::size_t fleck = random() % 24, kind = random() % 3;
        next.replace(fleck * kFleck, kFleck,
                     kind == 0 ? std::string(kFleck, '\0') : makeImage(random(), kFleck));
      }
      ok({"import", path("live"), write("image", next), "--incremental"}, env);
      images.push_back(next);
    }
    return images;  // what s1, s2, s3 and live read
  }
};

TEST_P(RemoveTest, EveryOtherDiskReadsWhatItRead) {
  const Env env = GetParam() == 2 ? Env{{"FLECK_PASSWORD", "chain"}} : Env{};
  const std::vector<std::string> images = buildChain(env);
  const std::vector<std::string> disks{"s1", "s2", "s3", "live"};
  const std::string json = ok({"chain", path("s2"), "--json"}).out;
  expectSays(json, {"\"folder\": \"" + path("live") + "\",\n      \"role\": \"live\"",
                    "\"folder\": \"" + path("s1") + "\",\n      \"role\": \"oldest\""});
  fails(fleck({"remove", path("live")}), 1, {path("live") + ": this is the live disk"});

  const std::string gone = disks[GetParam()];
  const std::string freed = ok({"remove", path(gone)}).out;
  EXPECT_FALSE(std::filesystem::exists(path(gone))) << freed;
  for (std::size_t d = 0; d < disks.size(); ++d) {
    if (disks[d] == gone) continue;
    EXPECT_TRUE(exported(disks[d], images[d].size(), env) == images[d]) << disks[d];
  }
  // Only the newest is kept: the rest go, oldest first, and the newest still reads right.
  ok({"remove", path("live"), "--keep-last", "1"});
  const std::string newest = gone == "s3" ? "s2" : "s3";
  EXPECT_TRUE(exported(newest, images[2].size(), env) == images[newest == "s3" ? 2 : 1]);
  const std::string after = ok({"chain", path("live"), "--json"}).out;
  EXPECT_EQ(std::count(after.begin(), after.end(), '{'), 3) << after;  // the object and two disks
}

INSTANTIATE_TEST_SUITE_P(Positions, RemoveTest, ::testing::Values(0, 1, 2));

using ToolTest = CliTest;

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

  r = fleck({"verify", path("child"), "--chain", "--repair-metadata"});
  EXPECT_EQ(r.status, 3);  // damage was found, and the metadata repaired
  expectSays(r.out, {path("base/disk.fleckdisk") + " damaged (digest mismatch)",
                     path("base/fallback/child.flecklnk") + " missing",
                     "DAMAGED fleck 2: " + path("base/") + fleckPath(2), "repaired 2 metadata"});
  EXPECT_TRUE(read("base/disk.fleckdisk") == intact);
  EXPECT_TRUE(read("base/fallback/child.flecklnk") == read("base/child.flecklnk"));
}

// Batches of digests and ciphers go through vector engines, or through OpenSSL with
// FLECK_KEEL_SCALAR=1: a disk written one way reads back the other.
TEST_F(ToolTest, DisksWrittenWithVectorEnginesReadWithoutThemAndBack) {
  const std::string image = makeImage(77, 40 * kFleck);
  for (const bool scalarWrites : {true, false}) {
    Env writer{{"FLECK_PASSWORD", "lanes"}}, reader = writer;
    (scalarWrites ? writer : reader).push_back({"FLECK_KEEL_SCALAR", "1"});
    const std::string disk = scalarWrites ? "scalar" : "vector";
    ok({"create", path(disk), "--size", "1M", "--fleck-size", "16K", "--encrypt"}, writer);
    ok({"import", path(disk), write("image", image)}, writer);
    expectSays(ok({"verify", path(disk)}, reader).out, {"all intact"});
    EXPECT_TRUE(exported(disk, image.size(), reader) == image) << disk;
    ok({"export", path(disk), path("out")}, reader);  // the batched way, to a file
    EXPECT_TRUE(read("out").substr(0, image.size()) == image) << disk;
  }
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
}

}  // namespace
}  // namespace fleck::test
