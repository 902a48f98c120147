#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "../../fuzz/FuzzTargets.h"

namespace fleck::test {

// Names the target in GoogleTest's messages and test names.
void PrintTo(const FuzzTarget& target, std::ostream* out) {
  *out << target.name;
}

namespace {

namespace fs = std::filesystem;

// fuzz/ of the source tree: FLECK_FUZZ_DIR, else the first folder above the test binary
// that holds fuzz/corpus (ctest runs in the build folder, where a relative __FILE__
// does not lead), else next to this source.
fs::path fuzzFolder() {
  if (const char* folder = std::getenv("FLECK_FUZZ_DIR")) return folder;
  for (fs::path at = fs::canonical("/proc/self/exe"); at != at.root_path(); at = at.parent_path())
    if (fs::is_directory(at / "fuzz" / "corpus")) return at / "fuzz";
  return fs::path(__FILE__).parent_path().parent_path().parent_path() / "fuzz";
}

// The contents of the regular files of `kind`/<target>, in name order.
std::vector<std::string> savedInputs(const char* kind, const FuzzTarget& target) {
  std::vector<fs::path> files;
  const fs::path folder = fuzzFolder() / kind / std::string(target.name);
  if (fs::is_directory(folder)) {
    for (const auto& entry : fs::directory_iterator(folder))
      if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  std::vector<std::string> inputs;
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    inputs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return inputs;
}

// A broken law or a sanitizer report ends the process (the test fails); an escaping
// exception fails the test here.
void replay(const FuzzTarget& target, const std::string& label, const std::string& input) {
  SCOPED_TRACE(label);
  try {
    target.run(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
  } catch (const std::exception& e) {
    ADD_FAILURE() << "exception left the " << target.name << " target: " << e.what();
  } catch (...) {
    ADD_FAILURE() << "unknown exception left the " << target.name << " target";
  }
}

class FuzzReplayTest : public ::testing::TestWithParam<FuzzTarget> {};

// The seed corpus (which must not get lost) and the inputs the fuzzers once failed on.
TEST_P(FuzzReplayTest, SavedInputsRunClean) {
  const std::vector<std::string> seeds = savedInputs("corpus", GetParam());
  ASSERT_FALSE(seeds.empty()) << "no seed corpus under " << fuzzFolder();
  for (const std::string& input : seeds)
    replay(GetParam(), "seed", input);
  for (const std::string& input : savedInputs("regressions", GetParam()))
    replay(GetParam(), "regression", input);
}

// What today's writers make, today's readers take with every law holding.
TEST_P(FuzzReplayTest, FreshSeedsRunClean) {
  for (const auto& [name, input] : GetParam().makeSeeds())
    replay(GetParam(), name, input);
}

// Seeds with bytes flipped, replaced, cut off or repeated reach the refusals in every
// test run, not only while fuzzing.
TEST_P(FuzzReplayTest, DamagedSeedsKeepTheLaws) {
  const char* fixed = std::getenv("FLECK_TEST_SEED");
  const unsigned seed = fixed != nullptr ? static_cast<unsigned>(std::stoul(fixed)) : 1234;
  std::fprintf(stderr, "seed %u (set FLECK_TEST_SEED to repeat)\n", seed);
  std::mt19937 random(seed);
  const std::vector<std::string> seeds = savedInputs("corpus", GetParam());
  ASSERT_FALSE(seeds.empty());
  for (int round = 0; round < 400; ++round) {
    std::string input = seeds[random() % seeds.size()];
    for (unsigned edits = 1 + random() % 3; edits > 0 && !input.empty(); --edits) {
      const std::size_t at = random() % input.size();
      switch (random() % 4) {
        case 0:
          input[at] = static_cast<char>(input[at] ^ (1 << (random() % 8)));
          break;
        case 1:
          input[at] = static_cast<char>(random());
          break;
        case 2:
          input.resize(at + 1);
          break;
        default:
          input.insert(at, input.substr(at, 1 + random() % 16));
      }
    }
    replay(GetParam(), "seed " + std::to_string(seed) + " round " + std::to_string(round), input);
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplayTest, ::testing::ValuesIn(getFuzzTargets()),
                         [](const ::testing::TestParamInfo<FuzzTarget>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace fleck::test
