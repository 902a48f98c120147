// Processes killed (SIGKILL) at random moments while they write through the library or
// import with the tool. The disk they leave opens, every fleck holds a state it went
// through (nothing acknowledged is lost, nothing is torn), and it takes new work.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <random>
#include <set>
#include <thread>

#include "crash/CWriteScript.h"
#include "fleck/CFleckDisk.h"
#include "support/CChildProcess.h"
#include "support/TempFolder.h"
#include "zel/CLocalFileSystem.h"

namespace fleck::test {
namespace {

// Rounds: a third of `plain` (at least 2) under a sanitizer; FLECK_CRASH_ROUNDS sets it.
int rounds(int plain) {
  if (const char* text = std::getenv("FLECK_CRASH_ROUNDS")) return std::max(1, std::atoi(text));
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return std::max(2, plain / 3);
#else
  return plain;
#endif
}

// The test's seed, or FLECK_TEST_SEED when set; printed on a failure.
class KillTest : public ::testing::TestWithParam<unsigned> {
 protected:
  const char* text = std::getenv("FLECK_TEST_SEED");
  const unsigned seed = text != nullptr ? static_cast<unsigned>(std::stoul(text)) : GetParam();
  const ::testing::ScopedTrace trace{__FILE__, __LINE__, "seed " + std::to_string(seed)};
  std::mt19937_64 random{seed};
  TempFolder root;
};

std::string fleckOf(const std::string& bytes, std::size_t fleckSize, std::size_t index) {
  return bytes.substr(index * fleckSize, fleckSize);
}

using WriteKillTest = KillTest;

// Every fleck is as after a step between the last flushed one and the last started one.
TEST_P(WriteKillTest, EveryFleckHoldsAStateBetweenTheLastFlushAndTheLastStartedStep) {
  constexpr int kSteps = 150;
  constexpr auto kFleck = static_cast<std::size_t>(CWriteScript::kFleckSize);
  const std::string folder = root.path() + "/disk";
  const std::string password = seed % 2 == 0 ? "" : "crash pw";
  zel::P<zel::IFileSystem> fs = zel::make<zel::CLocalFileSystem>();
  const auto open = [&](zel::IIOStream::Access access) {
    return std::make_unique<CFleckDisk>(fs, zel::CURI::fromLocalPath(folder),
                                        zel::String::fromUTF8(password), access, 3);
  };
  const auto readWhole = [](CFleckDisk& disk) {
    std::string bytes(static_cast<std::size_t>(CWriteScript::kDiskSize), '\0');
    disk.seek(0);
    disk.read(bytes.data(), static_cast<int>(bytes.size()));
    return bytes;
  };
  CFleckDisk::create(fs, zel::CURI::fromLocalPath(folder), CWriteScript::kDiskSize, 1,
                     zel::String::fromUTF8(password), "lz4", CWriteScript::kFleckSize);

  std::string state(static_cast<std::size_t>(CWriteScript::kDiskSize), '\0');
  for (int round = 0; round < rounds(12) && !HasFatalFailure(); ++round) {
    const std::uint64_t scriptSeed = std::uint64_t{seed} * 1000 + static_cast<unsigned>(round);
    SCOPED_TRACE("round " + std::to_string(round) + ", script seed " + std::to_string(scriptSeed));
    const CWriteScript script(scriptSeed, kSteps);
    int started = static_cast<int>(random() % kSteps);
    const bool afterFlush = random() % 2 == 0;
    // Right after a flush the kill comes at once; else now and then a little later.
    const auto pauseUs = !afterFlush && random() % 3 == 0 ? random() % 2000 : 0;
    const ProgramResult writer = runProgram(
        {FLECK_CRASH_WRITER, folder, std::to_string(scriptSeed), std::to_string(kSteps), password,
         std::to_string(started), afterFlush ? "flush" : "step", std::to_string(pauseUs)},
        root.path(), CChildProcess::Options(), 60000);
    ASSERT_EQ(writer.status, 128 + SIGKILL) << writer.err;

    // The states each fleck may be in, from the last flushed step (-1: none) on.
    int flushed = -1;
    for (int i = 0; i < started; ++i)
      flushed = script.steps[static_cast<std::size_t>(i)].flushAfter ? i : flushed;
    while (afterFlush && !script.steps[static_cast<std::size_t>(started)].flushAfter)
      ++started;
    flushed = afterFlush ? started : flushed;
    std::vector<std::set<std::string>> allowed(CWriteScript::kFlecks);
    for (int i = -1; i <= started; ++i) {
      if (i >= 0) {
        const CWriteScript::Step& step = script.steps[static_cast<std::size_t>(i)];
        std::copy(step.bytes.begin(), step.bytes.end(), state.begin() + step.position);
      }
      for (std::size_t f = 0; i >= flushed && f < allowed.size(); ++f)
        allowed[f].insert(fleckOf(state, kFleck, f));
    }

    auto disk = open(zel::IIOStream::AccessReadWrite);
    state = readWhole(*disk);
    for (std::size_t f = 0; f < allowed.size(); ++f) {
      ASSERT_EQ(allowed[f].count(fleckOf(state, kFleck, f)), 1u)
          << "fleck " << f << " holds no state between step " << flushed << " (flushed) and step "
          << started << " (started)";
    }
    // The disk takes new writes over whatever the crash left.
    std::string bytes(kFleck + 77, '\0');
    for (char& b : bytes)
      b = static_cast<char>(random());
    const auto at = random() % (state.size() - bytes.size());
    disk->seek(static_cast<std::int64_t>(at));
    disk->write(bytes.data(), static_cast<int>(bytes.size()));
    disk->flushChanges();
    ASSERT_FALSE(disk->haveBackgroundErrors());
    disk.reset();
    state.replace(at, bytes.size(), bytes);
    ASSERT_TRUE(readWhole(*open(zel::IIOStream::AccessRead)) == state) << "a write was lost";
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, WriteKillTest, ::testing::Values(1u, 2u, 3u));

using ImportKillTest = KillTest;

// `fleck import` killed at random moments leaves a disk that verifies intact, with every
// fleck of the old or the new image, and importing again gives exactly the new image.
TEST_P(ImportKillTest, AKilledImportLeavesAnIntactDiskThatASecondImportCompletes) {
  constexpr std::size_t kFleck = 64 * 1024;
  const std::string disk = root.path() + "/disk";
  const std::string images[2] = {root.path() + "/image0", root.path() + "/image1"};
  CChildProcess::Options options;
  if (seed % 2 == 1) options.environment.emplace_back("FLECK_PASSWORD", "kill me softly");
  const auto fleck = [&](std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), FLECK_CLI_BINARY);
    const ProgramResult result = runProgram(arguments, root.path(), options, -1);
    EXPECT_EQ(result.status, 0) << arguments[1] << ": " << result.err;
  };
  const auto import = [&](const std::string& image) {
    return std::vector<std::string>{"import", disk, image, "--threads", "2", "--no-sync", "-q"};
  };
  for (int g = 0; g < 2; ++g) {
    fleck({"generate-image", "24M", images[g], "--seed", std::to_string(seed), "--generation",
           std::to_string(g)});
  }
  std::vector<std::string> create{"create", disk, "--size", "24M", "--fleck-size", "64K"};
  if (seed % 2 == 1) create.push_back("--encrypt");
  fleck(create);
  // A whole import gives the time over which the kills are spread.
  const auto started = std::chrono::steady_clock::now();
  fleck(import(images[0]));
  const auto importUs = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now() - started)
                            .count();

  int kills = 0;
  for (int round = 0; round < rounds(3) && !HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string before = readFile(images[round % 2]);
    const std::string& newImage = images[(round + 1) % 2];
    std::vector<std::string> arguments = import(newImage);
    arguments.insert(arguments.begin(), FLECK_CLI_BINARY);
    options.stderrFile = root.path() + "/import.err";
    CChildProcess child(arguments, options);
    // Within the first 70% of a whole import's time, so that most are still running.
    std::this_thread::sleep_for(std::chrono::microseconds(
        random() % static_cast<std::uint64_t>(std::max<std::int64_t>(1, importUs * 7 / 10))));
    child.kill(SIGKILL);
    const int status = child.wait();
    ASSERT_TRUE(status == 0 || status == 128 + SIGKILL) << readFile(root.path() + "/import.err");
    kills += status != 0 ? 1 : 0;

    fleck({"verify", disk, "--threads", "2", "-q"});
    fleck({"export", disk, root.path() + "/exported", "--threads", "2", "-q"});
    const std::string got = readFile(root.path() + "/exported");
    const std::string after = readFile(newImage);
    ASSERT_EQ(got.size(), after.size());
    for (std::size_t f = 0; f * kFleck < got.size(); ++f) {
      const std::string piece = fleckOf(got, kFleck, f);
      ASSERT_TRUE(piece == fleckOf(before, kFleck, f) || piece == fleckOf(after, kFleck, f))
          << "fleck " << f << " is torn";
    }
    fleck(import(newImage));
    fleck({"export", disk, root.path() + "/exported", "--threads", "2", "-q"});
    ASSERT_TRUE(readFile(root.path() + "/exported") == after) << "the export is not the image";
  }
  std::cout << "[ crash ] seed " << seed << ": " << kills << " import kill(s) survived\n";
}

INSTANTIATE_TEST_SUITE_P(Seeds, ImportKillTest, ::testing::Values(1u, 2u));

}  // namespace
}  // namespace fleck::test
