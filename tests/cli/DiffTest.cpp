// `fleck diff` against a model: the flecks in which the exported bytes of two disks of one
// chain differ, after rounds of snapshots and changed images (data, zeros over data, data
// over zeros, the short last fleck).
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <random>

#include "support/CChildProcess.h"
#include "support/TempFolder.h"

namespace fleck::test {
namespace {

constexpr std::size_t kFleck = 16 * 1024;
constexpr std::size_t kSize = 64 * kFleck - 5000;  // the last fleck is short

class DiffTest : public ::testing::TestWithParam<bool> {
 protected:
  std::string ok(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), FLECK_CLI_BINARY);
    const ProgramResult r = runProgram(arguments, root.path(), env);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    return r.out;
  }
  std::string path(const std::string& name) const { return root.path() + "/" + name; }

  // The differing flecks of two exports as the tool prints them: adjacent ones merged,
  // the last one ending at the disk's end; all whitespace left out.
  static std::string expectedRanges(const std::string& a, const std::string& b) {
    std::string ranges;
    std::size_t start = 0, end = 0;
    const auto flush = [&] {
      if (end > start)
        ranges += std::string(ranges.empty() ? "" : ",") + "{\"offset\":" + std::to_string(start) +
                  ",\"length\":" + std::to_string(end - start) + "}";
    };
    for (std::size_t at = 0; at < a.size(); at += kFleck) {
      if (a.compare(at, kFleck, b, at, kFleck) == 0) continue;
      if (at != end) flush(), start = at;
      end = std::min(at + kFleck, a.size());
    }
    flush();
    return "\"ranges\":[" + ranges + "]";
  }

  TempFolder root;
  std::vector<std::pair<std::string, std::string>> env;
};

TEST_P(DiffTest, ListsTheFlecksWhoseExportedBytesDiffer) {
  if (GetParam()) env = {{"FLECK_PASSWORD", "diff pass"}};
  std::vector<std::string> create{"create",       path("live"), "--size", std::to_string(kSize),
                                  "--fleck-size", "16K"};
  if (GetParam()) create.push_back("--encrypt");
  ok(create);
  std::mt19937_64 random(21);
  std::string image(kSize, '\0');
  std::vector<std::string> disks{"live"};
  for (int round = 0; round < 4; ++round) {
    // A quarter of the flecks change each round: to zeros, or to new data.
    for (std::size_t at = 0; at < kSize; at += kFleck) {
      const std::size_t length = std::min(kFleck, kSize - at);
      if (round > 0 && random() % 4 != 0) continue;
      for (std::size_t i = at; i < at + length; ++i)
        image[i] = random() % 3 == 0 ? '\0' : static_cast<char>(random());
      if (random() % 3 == 0) image.replace(at, length, length, '\0');
    }
    writeFile(path("image"), image);
    if (round > 0) {
      disks.push_back("snap" + std::to_string(round));
      ok({"child", path(disks.back()), "--parent", path("live")});
    }
    ok({"import", path("live"), path("image"), round % 2 == 0 ? "--incremental" : "--quiet"});
  }
  std::map<std::string, std::string> exported;
  for (const std::string& disk : disks)
    exported[disk] = ok({"export", path(disk), "-"});
  env.clear();  // it needs no password
  const std::vector<std::pair<std::string, std::string>> pairs{
      {"live", "snap1"},  {"snap2", "live"},  {"live", "snap3"},
      {"snap1", "snap3"}, {"snap3", "snap2"}, {"snap2", "snap2"}};
  for (const auto& [a, b] : pairs) {
    std::string out = ok({"diff", path(a), path(b), "--json"});
    std::erase_if(out, [](char c) { return std::isspace(static_cast<unsigned char>(c)); });
    EXPECT_NE(out.find(expectedRanges(exported[a], exported[b])), std::string::npos)
        << a << " " << b << ": " << out;
  }
}

INSTANTIATE_TEST_SUITE_P(Encryption, DiffTest, ::testing::Bool());

}  // namespace
}  // namespace fleck::test
