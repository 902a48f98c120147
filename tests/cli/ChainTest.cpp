// Chains through the tool: linked children keep their snapshots while a parent changes
// (also for a reader in another process while the import runs), a detached child reads
// through and leaves its parent alone, and info shows the chain.
#include <chrono>

#include "CliTest.h"
#include "fleck/CFleckDisk.h"
#include "zel/CLocalFileSystem.h"

namespace fleck::test {
namespace {

class ChainTest : public CliTest {
 protected:
  void SetUp() override {
    // Changed data flecks, zeros over data (fleck 2), data over zeros (fleck 4).
    for (std::size_t index : {0, 5, 9})
      changed[index * kFleck + 77] = 'C';
    changed.replace(2 * kFleck, kFleck, std::string(kFleck, '\0'));
    changed.replace(4 * kFleck, kFleck, std::string(kFleck, 'd'));
    write("changed", changed);
    ok({"create", path("base"), "--size", "512K", "--fleck-size", "16K"});
    ok({"import", path("base"), write("original", original)});
  }
  const std::string original = makeImage(21, 32 * kFleck);
  std::string changed = original;
};

TEST_F(ChainTest, LinkedChildrenKeepTheirSnapshotsWhileTheParentChanges) {
  // base <- middle <- snapshot: middle has no flecks of its own at first, so the old bytes
  // it hands on come from base; then base hands on its own files.
  ok({"child", path("middle"), "--parent", path("base")});
  ok({"child", path("snapshot"), "--parent", path("middle")});
  ok({"import", path("middle"), path("changed"), "--incremental"});
  const std::string third = makeImage(22, original.size());
  ok({"import", path("base"), write("third", third), "--threads=1"});
  EXPECT_TRUE(exported("base", original.size()) == third);
  EXPECT_TRUE(exported("middle", original.size()) == changed);
  EXPECT_TRUE(exported("snapshot", original.size()) == original);
  expectSays(ok({"info", path("middle")}).out, {path("base") + " (nearest)", path("snapshot")});
  expectSays(ok({"info", path("base"), "--json"}).out, {"\"child\": \"" + path("middle") + "\""});
}

TEST_F(ChainTest, DetachedChildReadsThroughAndLeavesTheParentAlone) {
  const auto parentFiles = fleckFiles("base");
  ok({"child", path("overlay"), "--parent", path("base"), "--detached"});
  EXPECT_TRUE(exported("overlay", original.size()) == original);
  ok({"import", path("overlay"), path("changed")});
  EXPECT_TRUE(exported("overlay", original.size()) == changed);
  EXPECT_TRUE(exported("base", original.size()) == original);
  EXPECT_EQ(fleckFiles("base"), parentFiles);
  expectSays(ok({"info", path("base"), "--json"}).out, {"\"child\": null"});
}

// Snapshots read while their parent's import runs in another process: any fleck can
// move from the parent into the snapshot between the reader's looks into each.
using SnapshotRaceTest = CliTest;
constexpr std::size_t kSmall = 4 * 1024;

// A quarter of the flecks zeros, an eighth as in `previous`, the rest new bytes.
std::string nextImage(std::mt19937_64& random, const std::string& previous) {
  std::string image(512 * kSmall, '\0');
  for (std::size_t at = 0; at < image.size(); at += kSmall) {
    const auto kind = random() % 8;
    if (kind == 2 && !previous.empty()) image.replace(at, kSmall, previous, at, kSmall);
    for (std::size_t i = at; kind > 2 && i < at + kSmall; ++i)
      image[i] = static_cast<char>(random());
  }
  return image;
}

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
  std::mt19937_64 random(seed);
  std::vector<std::string> images{nextImage(random, "")};
  ok({"create", path("parent"), "--size", "2M", "--fleck-size", "4K"});
  ok({"import", path("parent"), write("image", images[0]), "--no-sync"});
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round));
    const std::string snapshot = path("snapshot" + std::to_string(round));
    ok({"child", snapshot, "--parent", path("parent")});
    images.push_back(nextImage(random, images.back()));
    write("image", images.back());
    CChildProcess::Options options;
    options.stderrFile = path("import.err");
    int status = -1;
    {
      // Ends with the scope: a failed assertion kills an import that still runs.
      CChildProcess import({FLECK_CLI_BINARY, "import", path("parent"), path("image"), "--threads",
                            "2", "--no-sync"},
                           options);
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      do {
        ASSERT_EQ(difference(snapshot, images[round]), "") << "differs during the import";
      } while (import.running() && std::chrono::steady_clock::now() < end);
      status = import.wait(60000);
    }
    ASSERT_EQ(status, 0) << read("import.err");
    ASSERT_EQ(difference(path("parent"), images.back()), "") << "the parent";
  }
  // The older snapshots, now behind newer ones in the chain, kept theirs too.
  for (std::size_t round = 0; round < 12; ++round)
    EXPECT_EQ(difference(path("snapshot" + std::to_string(round)), images[round]), "") << round;
}

}  // namespace
}  // namespace fleck::test
