#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "../../fuzz/FuzzTargets.h"

namespace fleck {
namespace fuzz {

// Names the target in GoogleTest's messages.
void PrintTo(const Target& target, std::ostream* out) {
  *out << target.name;
}

}  // namespace fuzz

namespace {

namespace fs = std::filesystem;
using fuzz::Target;

// fuzz/ of the source tree: this file lies in tests/fuzz_regressions/. FLECK_FUZZ_DIR
// points elsewhere (a copy of the tree, an installed test).
fs::path fuzzFolder() {
  if (const char* folder = std::getenv("FLECK_FUZZ_DIR")) return folder;
  return fs::path(__FILE__).parent_path().parent_path().parent_path() / "fuzz";
}

// The regular files of a folder in name order; none when the folder does not exist.
std::vector<fs::path> filesIn(const fs::path& folder) {
  std::vector<fs::path> files;
  if (!fs::is_directory(folder)) return files;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<std::uint8_t> readBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>());
}

// Runs every file through the target's entry. A broken law or a sanitizer report ends
// the process (the test fails); an escaping exception fails the test here.
void replay(const Target& target, const std::vector<fs::path>& files) {
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.string());
    const std::vector<std::uint8_t> bytes = readBytes(file);
    try {
      target.run(bytes.data(), bytes.size());
    } catch (const std::exception& e) {
      ADD_FAILURE() << "exception left the " << target.name << " target: " << e.what();
    } catch (...) {
      ADD_FAILURE() << "unknown exception left the " << target.name << " target";
    }
  }
}

class FuzzReplayTest : public ::testing::TestWithParam<Target> {};

// The seeds are valid inputs; they must keep passing every law (and a lost corpus
// must not pass silently).
TEST_P(FuzzReplayTest, SeedCorpusRunsClean) {
  const fs::path folder = fuzzFolder() / "corpus" / std::string(GetParam().name);
  const std::vector<fs::path> files = filesIn(folder);
  ASSERT_FALSE(files.empty()) << "no seed corpus in " << folder;
  replay(GetParam(), files);
}

// Inputs the fuzzers once failed on stay fixed.
TEST_P(FuzzReplayTest, FoundInputsStayFixed) {
  replay(GetParam(), filesIn(fuzzFolder() / "regressions" / std::string(GetParam().name)));
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplayTest, ::testing::ValuesIn(fuzz::getTargets()),
                         [](const ::testing::TestParamInfo<Target>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace fleck
