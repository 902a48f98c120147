// Chains of disks through the tool: a linked child keeps a snapshot while its parent
// changes (also for a reader in another process while the import runs), a detached
// child reads through to its parent, a disk between a parent and a child keeps its
// child's snapshot right, and info shows the chain.
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "CliTest.h"
#include "TestImage.h"
#include "fleck/CFleckDisk.h"
#include "support/CChildProcess.h"
#include "zel/CLocalFileSystem.h"

namespace fleck::clitest {
namespace {

constexpr std::size_t kFleck = 16 * 1024;

class ChainTest : public CliTest {
 protected:
  void SetUp() override {
    SCOPED_TRACE("seed 21");
    original = TestImage::make(21, 32 * kFleck, kFleck);
    changed = original;
    // Changes in some data flecks, zeros over data, data over zeros.
    for (std::size_t fleckIndex : {0, 5, 9})
      changed[fleckIndex * kFleck + 77] = 'C';
    changed.replace(2 * kFleck, kFleck, std::string(kFleck, '\0'));
    changed.replace(4 * kFleck, kFleck, std::string(kFleck, 'd'));
    write("original", original);
    write("changed", changed);
    ASSERT_EQ(fleck({"create", path("base"), "--size", "512K", "--fleck-size", "16K"}).status, 0);
    ASSERT_EQ(fleck({"import", path("base"), path("original")}).status, 0);
  }

  std::string exported(const std::string& disk) {
    const CliResult r =
        fleck({"export", path(disk), "-", "--length", std::to_string(original.size())});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }

  std::string original;
  std::string changed;
};

TEST_F(ChainTest, LinkedChildKeepsTheSnapshotWhileTheParentChanges) {
  ASSERT_EQ(fleck({"child", path("monday"), "--parent", path("base")}).status, 0);
  for (const char* mode : {"--incremental", "--threads=1"}) {
    SCOPED_TRACE(mode);
    const CliResult r = fleck({"import", path("base"), path("changed"), mode});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(exported("base") == changed);
    EXPECT_TRUE(exported("monday") == original);
  }
  const CliResult info = fleck({"info", path("base"), "--json"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("\"child\": \"" + path("monday") + "\""), std::string::npos) << info.out;
}

TEST_F(ChainTest, DetachedChildReadsThroughAndLeavesTheParentAlone) {
  const auto parentFiles = fleckFiles("base");
  CliResult r = fleck({"child", path("overlay"), "--parent", path("base"), "--detached"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(exported("overlay") == original);
  r = fleck({"import", path("overlay"), path("changed")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(exported("overlay") == changed);
  EXPECT_TRUE(exported("base") == original);
  EXPECT_EQ(fleckFiles("base"), parentFiles);
  r = fleck({"info", path("base"), "--json"});
  EXPECT_NE(r.out.find("\"child\": null"), std::string::npos) << r.out;
}

TEST_F(ChainTest, DiskBetweenParentAndChildKeepsTheChildsSnapshot) {
  // base <- middle <- snapshot: the middle disk has no flecks of its own yet.
  ASSERT_EQ(fleck({"child", path("middle"), "--parent", path("base")}).status, 0);
  ASSERT_EQ(fleck({"child", path("snapshot"), "--parent", path("middle")}).status, 0);
  const CliResult r = fleck({"import", path("middle"), path("changed"), "--incremental"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(exported("middle") == changed);
  EXPECT_TRUE(exported("snapshot") == original);
  EXPECT_TRUE(exported("base") == original);

  const CliResult info = fleck({"info", path("middle")});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find(path("base") + " (nearest)"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find(path("snapshot")), std::string::npos) << info.out;
}

// A snapshot read while its parent's import runs in another process: every fleck the
// reader looks up can move from the parent into the snapshot between its look into the
// snapshot and its look into the parent.
using SnapshotRaceTest = CliTest;

constexpr std::size_t kSmallFleck = 4 * 1024;
constexpr std::size_t kRaceImageSize = 2 * 1024 * 1024;

// The image after `previous`: a quarter of the flecks zeros, an eighth unchanged, the
// rest new random bytes, so that flecks turn into zeros, out of zeros and into other
// data.
std::string nextImage(std::mt19937_64& random, const std::string& previous) {
  std::string image(kRaceImageSize, '\0');
  for (std::size_t at = 0; at < image.size(); at += kSmallFleck) {
    const auto kind = random() % 8;
    if (kind < 2) continue;
    if (kind == 2 && !previous.empty()) {
      image.replace(at, kSmallFleck, previous, at, kSmallFleck);
      continue;
    }
    for (std::size_t i = 0; i < kSmallFleck; ++i)
      image[at + i] = static_cast<char>(random());
  }
  return image;
}

// Reads all of `disk` through the library (a disk object of its own, so nothing read
// before is kept) and says which fleck differs from `expected` and what it holds
// instead (`other` is the image it might wrongly show); empty when none does.
std::string difference(const std::string& disk, const std::string& expected,
                       const std::string& other) {
  zel::P<zel::IFileSystem> fs = zel::make<zel::CLocalFileSystem>();
  CFleckDisk reader(fs, zel::CURI::fromLocalPath(disk), "", zel::IIOStream::AccessRead, 1);
  std::string got(kSmallFleck, '\0');
  for (std::size_t at = 0; at < expected.size(); at += kSmallFleck) {
    reader.read(got.data(), static_cast<int>(kSmallFleck));
    if (got.compare(0, kSmallFleck, expected, at, kSmallFleck) == 0) continue;
    const char* what = other.compare(at, kSmallFleck, got) == 0 ? "the other image's bytes"
                       : TestImage::isZero(got, 0, kSmallFleck) ? "zeros"
                                                                : "bytes of neither image";
    return "fleck " + std::to_string(at / kSmallFleck) + " reads " + what;
  }
  return "";
}

TEST_F(SnapshotRaceTest, SnapshotReadsStayExactWhileTheParentImportsInAnotherProcess) {
  std::mt19937_64 random(33);
  std::vector<std::string> images{nextImage(random, "")};
  write("image0", images[0]);
  ASSERT_EQ(fleck({"create", path("parent"), "--size", "2M", "--fleck-size", "4K"}).status, 0);
  ASSERT_EQ(fleck({"import", path("parent"), path("image0"), "--no-sync", "--quiet"}).status, 0);

  constexpr int kRounds = 12;
  int readsDuringImports = 0;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string snapshot = "snapshot" + std::to_string(round);
    const std::string next = "image" + std::to_string(round + 1);
    ASSERT_EQ(fleck({"child", path(snapshot), "--parent", path("parent")}).status, 0);
    images.push_back(nextImage(random, images.back()));
    write(next, images.back());
    const std::string& now = images[images.size() - 2];

    fleck::test::CChildProcess::Options options;
    options.stderrFile = path("import.err");
    int status = -1;
    {
      // Ends with the scope: a failed assertion kills an import that still runs.
      fleck::test::CChildProcess import({CliRunner::binary(), "import", path("parent"), path(next),
                                     "--threads", "2", "--no-sync", "--quiet"},
                                    options);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      do {
        ASSERT_EQ(difference(path(snapshot), now, images.back()), "") << "during the import";
        ++readsDuringImports;
      } while (import.running() && std::chrono::steady_clock::now() < deadline);
      status = import.wait(60000);
    }
    ASSERT_EQ(status, 0) << read("import.err");
    ASSERT_EQ(difference(path(snapshot), now, images.back()), "") << "after the import";
    ASSERT_EQ(difference(path("parent"), images.back(), now), "") << "the parent";
  }
  // The older snapshots, now behind the newer ones in the chain, kept theirs too.
  for (int round = 0; round < kRounds; ++round) {
    EXPECT_EQ(difference(path("snapshot" + std::to_string(round)),
                         images[static_cast<std::size_t>(round)], images.back()),
              "")
        << "snapshot " << round << " at the end";
  }
  RecordProperty("reads_during_imports", readsDuringImports);
}

}  // namespace
}  // namespace fleck::clitest
