// The writer process is killed (SIGKILL) at random moments while it writes and flushes
// through the library. Afterwards every fleck must read as it was after some step
// between the last one whose flush returned and the last one that started: nothing
// acknowledged is lost, nothing torn. The disk must then take new writes.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "crash/CWriteScript.h"
#include "crash/CrashTestSupport.h"
#include "fleck/CFleckDisk.h"
#include "support/CChildProcess.h"
#include "support/TempFolder.h"
#include "zel/CLocalFileSystem.h"

namespace fleck::crashtest {
namespace {

using Bytes = std::vector<unsigned char>;
using fleck::test::CChildProcess;
using fleck::test::TempFolder;

constexpr int kSteps = 150;

// What the writer told the test before it died.
struct Progress {
  int lastStarted = -1;
  int lastFlushed = -1;
  bool ended = false;
};

// Reads the writer's lines until it has started step `killAt` (with `afterFlush`: until
// a flush of step `killAt` or later has returned, the moment when a store that only
// seemed done would be lost), kills it
// there (after a short random pause), then reads what it still wrote.
Progress runAndKill(CChildProcess& child, int readFd, int killAt, bool afterFlush, int pauseUs,
                    bool& killed) {
  Progress progress;
  std::string pending;
  killed = false;
  char buffer[4096];
  while (true) {
    const ssize_t got = ::read(readFd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // every copy of the write end is closed: the writer is gone
    pending.append(buffer, static_cast<std::size_t>(got));
    std::size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (line == "E") {
        progress.ended = true;
      } else if (line.size() > 2 && line[0] == 'B') {
        progress.lastStarted = std::stoi(line.substr(2));
      } else if (line.size() > 2 && line[0] == 'F') {
        progress.lastFlushed = std::stoi(line.substr(2));
      }
    }
    const int reached = afterFlush ? progress.lastFlushed : progress.lastStarted;
    if (!killed && reached >= killAt && !progress.ended) {
      if (pauseUs > 0) std::this_thread::sleep_for(std::chrono::microseconds(pauseUs));
      child.kill(SIGKILL);
      killed = true;
    }
  }
  return progress;
}

Bytes readWhole(CFleckDisk& disk) {
  Bytes bytes(static_cast<std::size_t>(CWriteScript::kDiskSize));
  disk.seek(0);
  disk.read(bytes.data(), static_cast<int>(bytes.size()));
  return bytes;
}

std::string fleckOf(const Bytes& disk, int fleck) {
  const std::size_t start = static_cast<std::size_t>(fleck) * CWriteScript::kFleckSize;
  const std::size_t end = std::min<std::size_t>(start + CWriteScript::kFleckSize, disk.size());
  return std::string(disk.begin() + static_cast<std::ptrdiff_t>(start),
                     disk.begin() + static_cast<std::ptrdiff_t>(end));
}

int countTemporaryFiles(const std::string& folder) {
  int count = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (entry.path().filename().string().find(".tmp-") != std::string::npos) ++count;
  }
  return count;
}

class WriteKillTest : public ::testing::TestWithParam<unsigned> {};

TEST_P(WriteKillTest, EveryFleckHoldsAStateBetweenTheLastFlushAndTheLastStartedStep) {
  const unsigned seed = seedFromEnvironment(GetParam());
  SCOPED_TRACE("seed " + std::to_string(seed) + " (set FLECK_TEST_SEED to repeat)");
  std::mt19937_64 random(seed);
  TempFolder root;
  const std::string folder = root.path() + "/disk";
  const std::string password = seed % 2 == 0 ? "" : "crash pw";
  zel::P<zel::IFileSystem> fs = zel::make<zel::CLocalFileSystem>();
  CFleckDisk::create(fs, zel::CURI::fromLocalPath(folder), CWriteScript::kDiskSize, 1,
                     zel::String::fromUTF8(password), "lz4", CWriteScript::kFleckSize);

  Bytes base(static_cast<std::size_t>(CWriteScript::kDiskSize), 0);
  const int rounds = scaledRounds(12);
  int kills = 0;
  int maxTemporary = 0;
  for (int round = 0; round < rounds && !HasFatalFailure(); ++round) {
    const std::uint64_t scriptSeed = std::uint64_t{seed} * 1000 + static_cast<unsigned>(round);
    SCOPED_TRACE("round " + std::to_string(round) + ", script seed " + std::to_string(scriptSeed));
    const CWriteScript script(scriptSeed, kSteps);

    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    CChildProcess::Options options;
    options.stderrFile = root.path() + "/writer.err";
    options.passFd = fds[1];
    bool killed = false;
    Progress progress;
    int status = 0;
    {
      CChildProcess child({FLECK_CRASH_WRITER, folder, std::to_string(scriptSeed),
                           std::to_string(kSteps), password},
                          options);
      ::close(fds[1]);
      const int killAt = static_cast<int>(random() % kSteps);
      const bool afterFlush = random() % 2 == 0;
      // Right after a flush the kill comes at once; else now and then a little later.
      const int pauseUs = static_cast<int>(!afterFlush && random() % 3 == 0 ? random() % 2000 : 0);
      progress = runAndKill(child, fds[0], killAt, afterFlush, pauseUs, killed);
      status = child.wait();
    }
    ::close(fds[0]);
    if (killed && status == 128 + SIGKILL) {
      ++kills;
    } else {
      ASSERT_EQ(status, 0) << fleck::test::readFile(options.stderrFile);
      ASSERT_TRUE(progress.ended);
    }
    ASSERT_LE(progress.lastFlushed, progress.lastStarted);

    // The states the disk may be in, fleck by fleck: after step s for every s from the
    // last flushed step (-1: the state before the round) to the last started one.
    Bytes state = base;
    for (int i = 0; i <= progress.lastFlushed; ++i)
      script.apply(i, state);
    std::vector<std::vector<std::string>> allowed(CWriteScript::kFlecks);
    for (int f = 0; f < CWriteScript::kFlecks; ++f)
      allowed[f].push_back(fleckOf(state, f));
    for (int i = progress.lastFlushed + 1; i <= progress.lastStarted; ++i) {
      script.apply(i, state);
      for (int f = 0; f < CWriteScript::kFlecks; ++f)
        allowed[f].push_back(fleckOf(state, f));
    }

    maxTemporary = std::max(maxTemporary, countTemporaryFiles(folder));
    Bytes now;
    {
      CFleckDisk disk(fs, zel::CURI::fromLocalPath(folder), zel::String::fromUTF8(password),
                      zel::IIOStream::AccessReadWrite, 3);
      now = readWhole(disk);
      for (int f = 0; f < CWriteScript::kFlecks; ++f) {
        const std::string got = fleckOf(now, f);
        bool found = false;
        for (const auto& candidate : allowed[f])
          found = found || candidate == got;
        ASSERT_TRUE(found) << "fleck " << f << " holds no state between step "
                           << progress.lastFlushed << " (flushed) and step " << progress.lastStarted
                           << " (started)";
      }
      // The disk takes new writes over whatever the crash left.
      Bytes bytes(CWriteScript::kFleckSize + 77);
      for (auto& b : bytes)
        b = static_cast<unsigned char>(random());
      const auto at = static_cast<std::int64_t>(
          random() % static_cast<std::uint64_t>(CWriteScript::kDiskSize - bytes.size()));
      disk.seek(at);
      disk.write(bytes.data(), static_cast<int>(bytes.size()));
      disk.flushChanges();
      ASSERT_FALSE(disk.haveBackgroundErrors());
      std::copy(bytes.begin(), bytes.end(), now.begin() + at);
    }
    CFleckDisk reopened(fs, zel::CURI::fromLocalPath(folder), zel::String::fromUTF8(password),
                        zel::IIOStream::AccessRead, 1);
    ASSERT_TRUE(readWhole(reopened) == now) << "a write after the crash did not last";
    base = now;
  }
  std::cout << "[ crash ] seed " << seed << ": " << kills << " kills survived in " << rounds
            << " rounds; at most " << maxTemporary << " temporary file(s) left behind\n";
  RecordProperty("kills_survived", kills);
  EXPECT_GT(kills, 0);
}

INSTANTIATE_TEST_SUITE_P(Seeds, WriteKillTest, ::testing::Values(1u, 2u, 3u));

}  // namespace
}  // namespace fleck::crashtest
