// Processes killed (SIGKILL) at random moments while they write through the library or
// import with the tool. The disk they leave verifies intact, every fleck holds a state it
// went through (nothing acknowledged is lost, nothing is torn), and it takes new work. A
// killed copy leaves its source as it was and a copy that refuses to open or is whole.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "crash/CWriteScript.h"
#include "support/CChildProcess.h"
#include "support/TempFolder.h"

namespace fleck::test {
namespace {

// The seed is the table's or FLECK_TEST_SEED; odd seeds encrypt the disk.
class KillTest : public ::testing::TestWithParam<unsigned> {
 protected:
  void SetUp() override {
    if (const char* text = std::getenv("FLECK_TEST_SEED")) seed = std::stoul(text);
    random.seed(seed);
    if (seed % 2 == 1) options.environment = {{"FLECK_PASSWORD", "kill me softly"}};
  }
  // FLECK_CRASH_ROUNDS, else `plain`: a third of it (at least 2) under a sanitizer.
  static int rounds(int plain) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    plain = std::max(2, plain / 3);
#endif
    const char* text = std::getenv("FLECK_CRASH_ROUNDS");
    return text != nullptr ? std::max(1, std::atoi(text)) : plain;
  }
  void fleck(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), FLECK_CLI_BINARY);
    const ProgramResult result = runProgram(arguments, root.path(), options, -1);
    EXPECT_EQ(result.status, 0) << arguments[1] << ": " << result.err;
  }
  // The disk, found intact by `fleck verify`, as `fleck export` gives it; each fleck must
  // be as `allowed` says.
  std::string verified(std::size_t size,
                       const std::function<bool(std::size_t, std::string)>& allowed) {
    fleck({"verify", disk, "-q"});
    fleck({"export", disk, disk + ".out", "-q"});
    const std::string got = readFile(disk + ".out");
    for (std::size_t f = 0; f * size < got.size() && !HasFailure(); ++f)
      EXPECT_TRUE(allowed(f, got.substr(f * size, size))) << "fleck " << f << " is wrong";
    return got;
  }

  unsigned seed = GetParam();
  std::mt19937_64 random;
  TempFolder root;
  const std::string disk = root.path() + "/disk";
  CChildProcess::Options options;
};

using WriteKillTest = KillTest;

// Every fleck is as after a step between the last flushed one and the last started one.
TEST_P(WriteKillTest, EveryFleckHoldsAStateBetweenTheLastFlushAndTheLastStartedStep) {
  SCOPED_TRACE("seed " + std::to_string(seed) + " (set FLECK_TEST_SEED to repeat)");
  constexpr std::size_t kFleck = CWriteScript::kFleckSize;
  fleck({"create", disk, "--size", std::to_string(CWriteScript::kDiskSize), "--fleck-size", "4K",
         seed % 2 == 1 ? "--encrypt" : "--compress=lz4"});
  std::string state(CWriteScript::kDiskSize, '\0');
  for (int round = 0; round < rounds(12) && !HasFailure(); ++round) {
    const std::uint64_t scriptSeed = std::uint64_t{seed} * 1000 + static_cast<unsigned>(round);
    SCOPED_TRACE("round " + std::to_string(round) + ", script seed " + std::to_string(scriptSeed));
    const CWriteScript script(scriptSeed, 150);
    int started = static_cast<int>(random() % script.steps.size());
    const bool afterFlush = random() % 2 == 0;
    // Right after a flush the kill comes at once; else now and then a little later.
    const auto pauseUs = !afterFlush && random() % 3 == 0 ? random() % 2000 : 0;
    const ProgramResult writer =
        runProgram({FLECK_CRASH_WRITER, disk, std::to_string(scriptSeed), std::to_string(started),
                    afterFlush ? "flush" : "step", std::to_string(pauseUs)},
                   root.path(), options, 60000);
    ASSERT_EQ(writer.status, 128 + SIGKILL) << writer.err;
    // Each fleck may be as after the last flushed step (-1: the round's start) or later.
    int flushed = -1;
    for (int i = 0; i < started; ++i)
      flushed = script.steps[i].flushAfter ? i : flushed;
    while (afterFlush && !script.steps[started].flushAfter)
      ++started;
    flushed = afterFlush ? started : flushed;
    std::vector<std::set<std::string>> allowed(state.size() / kFleck + 1);
    for (int i = -1; i <= started; ++i) {
      if (i >= 0)
        std::copy(script.steps[i].bytes.begin(), script.steps[i].bytes.end(),
                  state.begin() + script.steps[i].position);
      for (std::size_t f = 0; i >= flushed && f < allowed.size(); ++f)
        allowed[f].insert(state.substr(f * kFleck, kFleck));
    }
    // The next round's writer writes over whatever this crash left.
    state = verified(kFleck, [&](std::size_t f, std::string got) { return allowed[f].count(got); });
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, WriteKillTest, ::testing::Values(1u, 2u, 3u));

using ImportKillTest = KillTest;

// `fleck import` killed at random moments leaves every fleck of the old or the new image,
// and importing again (incrementally, as all these imports) gives exactly the new image.
TEST_P(ImportKillTest, AKilledImportLeavesAnIntactDiskThatASecondImportCompletes) {
  SCOPED_TRACE("seed " + std::to_string(seed) + " (set FLECK_TEST_SEED to repeat)");
  constexpr std::size_t kFleck = 64 * 1024;
  std::string images[2];
  for (int g = 0; g < 2; ++g) {
    images[g] = root.path() + "/image" + std::to_string(g);
    fleck({"generate-image", "24M", images[g], "--seed", std::to_string(seed), "--generation",
           std::to_string(g)});
  }
  fleck({"create", disk, "--size", "24M", "--fleck-size", "64K",
         seed % 2 == 1 ? "--encrypt" : "--compress=lz4"});
  const auto import = [&](const std::string& image) -> std::vector<std::string> {
    return {FLECK_CLI_BINARY, "import", disk, image, "-t2", "-i", "--no-sync"};
  };
  // A whole import gives the time over which the kills are spread.
  const auto begin = std::chrono::steady_clock::now();
  ASSERT_EQ(runProgram(import(images[0]), root.path(), options, -1).status, 0);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
  for (int round = 0; round < rounds(3) && !HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string before = readFile(images[round % 2]);
    const std::string after = readFile(images[(round + 1) % 2]);
    options.stderrFile = root.path() + "/import.err";
    CChildProcess child(import(images[(round + 1) % 2]), options);
    // Within the first 70% of a whole import's time, so that most are still running.
    std::this_thread::sleep_for(took * 0.7 * static_cast<double>(random() % 1000) / 1000.0);
    child.kill(SIGKILL);
    const int status = child.wait();
    ASSERT_TRUE(status == 0 || status == 128 + SIGKILL) << readFile(options.stderrFile);
    verified(kFleck, [&](std::size_t f, const std::string& got) {
      return got == before.substr(f * kFleck, kFleck) || got == after.substr(f * kFleck, kFleck);
    });
    ASSERT_EQ(runProgram(import(images[(round + 1) % 2]), root.path(), options, -1).status, 0);
    EXPECT_TRUE(verified(kFleck, [](std::size_t, std::string) { return true; }) == after);
  }
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
INSTANTIATE_TEST_SUITE_P(Seeds, ImportKillTest, ::testing::Values(1u));  // one seed: slow there
#else
INSTANTIATE_TEST_SUITE_P(Seeds, ImportKillTest, ::testing::Values(1u, 2u));
#endif

using RemoveKillTest = KillTest;

// `fleck remove` of a snapshot in the middle of a chain, killed at random moments: the
// other disks read as before, the snapshot is gone, refuses to open or reads as before,
// and removing it again finishes the job.
TEST_P(RemoveKillTest, OtherDisksReadAsBeforeAndASecondRemoveFinishes) {
  SCOPED_TRACE("seed " + std::to_string(seed) + " (set FLECK_TEST_SEED to repeat)");
  constexpr std::size_t kFleck = 4096, kFlecks = 384;
  const std::string pristine = root.path() + "/pristine", work = root.path() + "/work";
  fleck({"create", pristine + "/live", "--size", std::to_string(kFleck * kFlecks), "--fleck-size",
         "4K", seed % 2 == 1 ? "--encrypt" : "--compress=lz4"});
  // s1 keeps a few flecks; s2 most, which its removal hands to s1; s3 some.
  std::string image(kFleck * kFlecks, '\0');
  for (const int changedPercent : {100, 5, 90, 30}) {
    for (std::size_t f = 0; f < kFlecks; ++f) {
      if (random() % 100 >= static_cast<unsigned>(changedPercent)) continue;
      for (std::size_t i = 0; i < kFleck; i += 8)
        image[f * kFleck + i] = static_cast<char>(random());
    }
    writeFile(root.path() + "/image", image);
    fleck({"import", pristine + "/live", root.path() + "/image", "-i", "-q"});
    if (changedPercent != 30)
      fleck({"child",
             pristine + "/s" +
                 std::to_string(changedPercent == 100 ? 1
                                : changedPercent == 5 ? 2
                                                      : 3),
             "--parent", pristine + "/live"});
  }
  std::map<std::string, std::string> before;
  for (const char* disk : {"live", "s1", "s2", "s3"}) {
    fleck({"export", pristine + "/" + disk, root.path() + "/out", "-q"});
    before[disk] = readFile(root.path() + "/out");
  }
  const auto reads = [&](const std::string& disk) {
    const ProgramResult r =
        runProgram({FLECK_CLI_BINARY, "export", work + "/" + disk, "-"}, root.path(), options, -1);
    return r.status == 0 ? r.out : "failed: " + r.err;
  };
  const std::vector<std::string> remove{FLECK_CLI_BINARY, "remove", work + "/s2", "-q"};
  std::chrono::duration<double> took{};
  for (int round = 0; round <= rounds(4) && !HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::filesystem::remove_all(work);
    std::filesystem::copy(pristine, work, std::filesystem::copy_options::recursive);
    if (round == 0) {  // a whole removal gives the time over which the kills are spread
      const auto begin = std::chrono::steady_clock::now();
      ASSERT_EQ(runProgram(remove, root.path(), options, -1).status, 0);
      took = std::chrono::steady_clock::now() - begin;
    } else {
      CChildProcess child(remove, options);
      std::this_thread::sleep_for(took * static_cast<double>(random() % 1000) / 1000.0);
      child.kill(SIGKILL);
      const int status = child.wait();
      ASSERT_TRUE(status == 0 || status == 128 + SIGKILL) << status;
      const std::string s2 = reads("s2");
      // Gone, or refusing to open (marked, or its last folders left), or as before.
      EXPECT_TRUE(s2 == before["s2"] || s2.find("interrupted") != std::string::npos ||
                  s2.find("not a fleck disk") != std::string::npos ||
                  !std::filesystem::exists(work + "/s2"))
          << s2.substr(0, 200);
      for (const char* disk : {"live", "s1", "s3"})
        EXPECT_TRUE(reads(disk) == before[disk]) << disk << " after the kill";
      if (std::filesystem::exists(work + "/s2")) {  // else it had finished
        const ProgramResult again = runProgram(remove, root.path(), options, -1);
        ASSERT_EQ(again.status, 0) << again.err;
      }
    }
    EXPECT_FALSE(std::filesystem::exists(work + "/s2"));
    for (const char* disk : {"live", "s1", "s3"})
      EXPECT_TRUE(reads(disk) == before[disk]) << disk << " after the removal";
  }
}

// Each round starts the tool a dozen times: one seed under a sanitizer, where that is slow.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
INSTANTIATE_TEST_SUITE_P(Seeds, RemoveKillTest, ::testing::Values(1u));
#else
INSTANTIATE_TEST_SUITE_P(Seeds, RemoveKillTest, ::testing::Values(1u, 2u));
#endif

using CopyKillTest = KillTest;

// `fleck copy --chain` killed at random moments within a whole copy's time: each copied
// disk refuses to open or exports as its source, and copying again finishes the copy.
TEST_P(CopyKillTest, AKilledCopyLeavesACopyThatRefusesToOpenUntilCopiedAgain) {
  SCOPED_TRACE("seed " + std::to_string(seed) + " (set FLECK_TEST_SEED to repeat)");
  const std::string snapshot = root.path() + "/snapshot", image = root.path() + "/image";
  fleck({"generate-image", "6M", image, "--seed", std::to_string(seed)});
  // A few hundred small flecks, some of them in the snapshot.
  fleck({"create", disk, "--size", "6M", "--fleck-size", "16K",
         seed % 2 == 1 ? "--encrypt" : "--compress=lz4"});
  fleck({"import", disk, image, "--no-sync"});
  fleck({"child", snapshot, "--parent", disk});
  fleck({"generate-image", "6M", image, "--seed", std::to_string(seed + 1)});
  fleck({"import", disk, image, "-i", "--no-sync"});
  const auto exported = [&](const std::string& folder) {
    const ProgramResult r = runProgram({FLECK_CLI_BINARY, "export", folder, folder + ".out", "-q"},
                                       root.path(), options, -1);
    return r.status == 0 ? readFile(folder + ".out") : "failed: " + r.err;
  };
  const std::string expected[2] = {exported(disk), exported(snapshot)};
  const auto copy = [&](const std::string& to) -> std::vector<std::string> {
    return {FLECK_CLI_BINARY, "copy", "--chain", snapshot, to, "-t2", "-q"};
  };
  const auto begin = std::chrono::steady_clock::now();
  ASSERT_EQ(runProgram(copy(root.path() + "/whole"), root.path(), options, -1).status, 0);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
  for (int round = 0; round < rounds(4) && !HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string to = root.path() + "/copy" + std::to_string(round);
    options.stderrFile = root.path() + "/copy.err";
    CChildProcess child(copy(to), options);
    std::this_thread::sleep_for(took * static_cast<double>(random() % 1000) / 1000.0);
    child.kill(SIGKILL);
    const int status = child.wait();
    ASSERT_TRUE(status == 0 || status == 128 + SIGKILL) << readFile(options.stderrFile);
    options.stderrFile.clear();
    for (int d = 0; d < 2; ++d) {
      const std::string got = exported(to + (d == 0 ? "/disk" : "/snapshot"));
      EXPECT_TRUE(got == expected[d] || got.find("interrupted copy") != std::string::npos ||
                  got.find("no such folder") != std::string::npos)
          << got.substr(0, 200);
    }
    ASSERT_EQ(runProgram(copy(to), root.path(), options, -1).status, 0);
    for (int d = 0; d < 2; ++d)
      EXPECT_TRUE(exported(to + (d == 0 ? "/disk" : "/snapshot")) == expected[d]) << d;
  }
  // The copies only read the source.
  EXPECT_TRUE(exported(disk) == expected[0] && exported(snapshot) == expected[1]) << "source";
}

// One (encrypted) seed: the copy treats every record alike, and each round runs six programs.
INSTANTIATE_TEST_SUITE_P(Seeds, CopyKillTest, ::testing::Values(1u));

}  // namespace
}  // namespace fleck::test
