// The tool on s3:// disks, end to end against the gateway: a chain made there, imported,
// exported and verified through the program, as a user would; a local chain copied there
// and back.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "S3TestEnvironment.h"
#include "support/CChildProcess.h"
#include "support/TempFolder.h"

namespace fleck::test {
namespace {

// The tool end to end on the gateway runs in the release tests. Under a sanitizer its
// dozens of processes each run several times slower, and the library's S3 code they
// use is checked there by the file-system suites.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

class S3ToolTest : public ::testing::Test {
 protected:
  // Runs the tool, expecting it to succeed; its standard output.
  std::string fleck(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), FLECK_CLI_BINARY);
    const ProgramResult r = runProgram(arguments, scratch.path());
    EXPECT_EQ(r.status, 0) << arguments[1] << ": " << r.err;
    return r.out;
  }
  TempFolder scratch;
};

TEST_F(S3ToolTest, ASnapshotChainOnS3KeepsWhatEachDiskRead) {
  if (kSanitized) GTEST_SKIP() << "the tool on S3 runs in the release tests";
  if (!gatewayReady()) return;
  const std::string base = freshFolder().toString(true).toUTF8();
  const std::string live = base + "/live", snapshot = base + "/snapshot";
  const std::string one = scratch.path() + "/one", two = scratch.path() + "/two";
  fleck({"generate-image", "3M", one});
  fleck({"generate-image", "3M", two, "--generation", "1"});
  fleck({"create", live, "--size", "3M", "--fleck-size", "64K"});
  fleck({"import", live, one});
  fleck({"child", snapshot, "--parent", live});
  fleck({"import", live, two, "--incremental"});
  fleck({"export", live, scratch.path() + "/live.out"});
  fleck({"export", snapshot, scratch.path() + "/snapshot.out"});
  fleck({"verify", live, "--chain"});
  EXPECT_TRUE(readFile(scratch.path() + "/live.out") == readFile(two));
  EXPECT_TRUE(readFile(scratch.path() + "/snapshot.out") == readFile(one));
  // diff reads only the heads of the flecks the two disks do not share.
  const std::string first = readFile(one), second = readFile(two);
  std::size_t differing = 0;
  for (std::size_t at = 0; at < first.size(); at += 64 * 1024)
    differing += first.compare(at, 64 * 1024, second, at, 64 * 1024) != 0 ? 64 * 1024 : 0;
  const std::string out = fleck({"diff", snapshot, live, "--json"});
  EXPECT_NE(out.find("\"differing_bytes\": " + std::to_string(differing) + ","), std::string::npos)
      << out;
  // A newer snapshot that holds every fleck, removed again: the older one gets (on S3:
  // copies, then deletions) the flecks it read through it.
  const std::string newer = base + "/newer", three = scratch.path() + "/three";
  fleck({"generate-image", "3M", three, "--seed", "7"});
  fleck({"child", newer, "--parent", live});
  fleck({"import", live, three, "--incremental"});
  EXPECT_NE(fleck({"chain", snapshot}).find(newer), std::string::npos);
  fleck({"remove", newer});
  fleck({"export", snapshot, scratch.path() + "/snapshot.out"});
  EXPECT_TRUE(readFile(scratch.path() + "/snapshot.out") == first);
}

TEST_F(S3ToolTest, AChainCopiedToS3AndBackExportsAsTheOriginal) {
  if (kSanitized) GTEST_SKIP() << "the tool on S3 runs in the release tests";
  if (!gatewayReady()) return;
  const std::string local = scratch.path() + "/local", back = scratch.path() + "/back";
  const std::string remote = freshFolder().toString(true).toUTF8();
  fleck({"generate-image", "2M", scratch.path() + "/one"});
  fleck({"generate-image", "2M", scratch.path() + "/two", "--generation", "1"});
  fleck({"create", local + "/live", "--size", "2M", "--fleck-size", "64K"});
  fleck({"import", local + "/live", scratch.path() + "/one"});
  fleck({"child", local + "/snapshot", "--parent", local + "/live"});
  fleck({"import", local + "/live", scratch.path() + "/two", "--incremental"});
  fleck({"copy", "--chain", local + "/live", remote});
  fleck({"copy", "--chain", remote + "/snapshot", back});
  for (const std::string disk : {"live", "snapshot"}) {
    std::vector<std::string> exports;
    for (const std::string& chain : {local, remote, back}) {
      const std::string out = scratch.path() + "/" + disk + std::to_string(exports.size());
      fleck({"export", chain + "/" + disk, out});
      exports.push_back(readFile(out));
    }
    EXPECT_TRUE(exports[1] == exports[0] && exports[2] == exports[0]) << disk;
  }
}

}  // namespace
}  // namespace fleck::test
