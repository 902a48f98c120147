// `fleck import` is killed (SIGKILL) at random moments. Afterwards the disk opens,
// `fleck verify` finds it intact (temporary files left behind do not count as flecks
// and break nothing), every fleck holds the old or the new image's content, and
// importing again and exporting give exactly the new image.
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "crash/CrashTestSupport.h"
#include "fleck/CFleckDisk.h"
#include "support/CChildProcess.h"
#include "support/TempFolder.h"
#include "zel/CLocalFileSystem.h"

namespace fleck::crashtest {
namespace {

using fleck::test::CChildProcess;
using fleck::test::ProgramResult;
using fleck::test::readFile;
using fleck::test::TempFolder;

constexpr std::size_t kFleckSize = 64 * 1024;
const char* const kImageSize = "24M";

class ImportKillTest : public ::testing::TestWithParam<unsigned> {
 protected:
  ProgramResult fleck(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), FLECK_CLI_BINARY);
    return fleck::test::runProgram(arguments, root.path(), environment);
  }

  void expectSuccess(const std::vector<std::string>& arguments) {
    const ProgramResult result = fleck(arguments);
    ASSERT_EQ(result.status, 0) << arguments[0] << ": " << result.err;
  }

  int countTemporaryFiles(const std::string& folder) {
    int count = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
      if (entry.path().filename().string().find(".tmp-") != std::string::npos) ++count;
    }
    return count;
  }

  TempFolder root;
  std::vector<std::pair<std::string, std::string>> environment;
};

TEST_P(ImportKillTest, AKilledImportLeavesAnIntactDiskThatASecondImportCompletes) {
  const unsigned seed = seedFromEnvironment(GetParam());
  SCOPED_TRACE("seed " + std::to_string(seed) + " (set FLECK_TEST_SEED to repeat)");
  std::mt19937_64 random(seed);
  const bool encrypted = seed % 2 == 1;
  if (encrypted) environment.emplace_back("FLECK_PASSWORD", "kill me softly");
  const std::string disk = root.path() + "/disk";
  const std::string images[2] = {root.path() + "/image0", root.path() + "/image1"};
  for (int g = 0; g < 2; ++g) {
    ASSERT_NO_FATAL_FAILURE(
        expectSuccess({"generate-image", kImageSize, images[g], "--seed", std::to_string(seed),
                       "--generation", std::to_string(g)}));
  }
  std::vector<std::string> create{"create", disk, "--size", kImageSize, "--fleck-size", "64K"};
  if (encrypted) create.push_back("--encrypt");
  ASSERT_NO_FATAL_FAILURE(expectSuccess(create));

  // The first, whole import gives the time over which the kills are spread.
  const auto started = std::chrono::steady_clock::now();
  ASSERT_NO_FATAL_FAILURE(
      expectSuccess({"import", disk, images[0], "--threads", "2", "--no-sync", "--quiet"}));
  const auto importUs = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now() - started)
                            .count();

  const int rounds = scaledRounds(3);
  int kills = 0;
  int temporary = 0;
  for (int round = 0; round < rounds && !HasFatalFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string& oldImage = images[round % 2];
    const std::string& newImage = images[(round + 1) % 2];
    // Within the first 70% of the time a whole import took, so that most imports are
    // still running when the signal comes.
    const auto delayUs = static_cast<std::int64_t>(
        random() % static_cast<std::uint64_t>(std::max<std::int64_t>(1, importUs * 7 / 10)));
    CChildProcess::Options options;
    options.environment = environment;
    options.stderrFile = root.path() + "/import.err";
    int status = 0;
    {
      CChildProcess import(
          {FLECK_CLI_BINARY, "import", disk, newImage, "--threads", "2", "--no-sync", "--quiet"},
          options);
      std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
      import.kill(SIGKILL);
      status = import.wait();
    }
    if (status == 128 + SIGKILL) {
      ++kills;
    } else {
      ASSERT_EQ(status, 0) << readFile(options.stderrFile);
    }
    temporary += countTemporaryFiles(disk);

    // The disk opens (the library, read and write) and verifies clean.
    {
      zel::P<zel::IFileSystem> fs = zel::make<zel::CLocalFileSystem>();
      const zel::String password = zel::String::fromUTF8(encrypted ? "kill me softly" : "");
      ASSERT_NO_THROW(CFleckDisk(fs, zel::CURI::fromLocalPath(disk), password,
                                 zel::IIOStream::AccessReadWrite, 1));
    }
    const ProgramResult verify = fleck({"verify", disk, "--threads", "2", "--quiet"});
    ASSERT_EQ(verify.status, 0) << verify.out << verify.err;

    // Fleck by fleck: the old image or the new one, nothing else.
    const std::string exported = root.path() + "/exported";
    ASSERT_NO_FATAL_FAILURE(expectSuccess({"export", disk, exported, "--threads", "2", "--quiet"}));
    {
      const std::string got = readFile(exported);
      const std::string before = readFile(oldImage);
      const std::string after = readFile(newImage);
      ASSERT_EQ(got.size(), after.size());
      for (std::size_t at = 0; at < got.size(); at += kFleckSize) {
        const std::size_t n = std::min(kFleckSize, got.size() - at);
        const bool isOld = got.compare(at, n, before, at, n) == 0;
        const bool isNew = got.compare(at, n, after, at, n) == 0;
        ASSERT_TRUE(isOld || isNew) << "fleck " << at / kFleckSize << " is torn";
      }
    }

    // Importing again completes, and the disk then holds exactly the new image.
    ASSERT_NO_FATAL_FAILURE(
        expectSuccess({"import", disk, newImage, "--threads", "2", "--no-sync", "--quiet"}));
    ASSERT_NO_FATAL_FAILURE(expectSuccess({"export", disk, exported, "--threads", "2", "--quiet"}));
    ASSERT_TRUE(readFile(exported) == readFile(newImage)) << "the export differs from the image";
  }
  std::cout << "[ crash ] seed " << seed << ": " << kills << " import kill(s) survived in "
            << rounds << " rounds; " << temporary << " temporary file(s) seen after kills\n";
  RecordProperty("kills_survived", kills);
}

INSTANTIATE_TEST_SUITE_P(Seeds, ImportKillTest, ::testing::Values(1u, 2u));

}  // namespace
}  // namespace fleck::crashtest
