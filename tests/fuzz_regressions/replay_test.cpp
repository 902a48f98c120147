// Runs saved, fresh and damaged inputs through exactly the code the fuzzers run. A test
// folder compiles only its own sources, so the shared entry source is included here.
#include "../../fuzz/FuzzTargets.cpp"

#include <gtest/gtest.h>

#include <iterator>
#include <random>

namespace fleck::test {

void PrintTo(const FuzzTarget& target, std::ostream* out) {
  *out << target.name;
}

namespace {

namespace fs = std::filesystem;

// The saved inputs under fuzz/<kind>/<target>, in name order. fuzz/ is FLECK_FUZZ_DIR,
// else found above the test binary (ctest runs in the build folder, from where a
// relative __FILE__ does not lead), else next to this source.
std::vector<std::string> savedInputs(const char* kind, const FuzzTarget& target) {
  fs::path fuzz = fs::path(__FILE__).parent_path().parent_path().parent_path() / "fuzz";
  for (fs::path at = fs::canonical("/proc/self/exe"); at != at.root_path(); at = at.parent_path())
    if (fs::is_directory(at / "fuzz" / "corpus")) fuzz = at / "fuzz";
  if (const char* folder = std::getenv("FLECK_FUZZ_DIR")) fuzz = folder;
  std::vector<fs::path> files;
  if (fs::is_directory(fuzz / kind / target.name)) {
    for (const auto& entry : fs::directory_iterator(fuzz / kind / target.name))
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

// A broken law or a sanitizer report ends the process; an escaping exception fails here.
void replay(const FuzzTarget& target, const std::string& label, const std::string& input) {
  SCOPED_TRACE(label);
  EXPECT_NO_THROW(target.run(reinterpret_cast<const std::uint8_t*>(input.data()), input.size()));
}

class FuzzReplayTest : public ::testing::TestWithParam<FuzzTarget> {};

// The seed corpus (which must not get lost) and the inputs the fuzzers once failed on.
TEST_P(FuzzReplayTest, SavedInputsRunClean) {
  const std::vector<std::string> seeds = savedInputs("corpus", GetParam());
  ASSERT_FALSE(seeds.empty()) << "no seed corpus for " << GetParam().name;
  for (const std::string& input : seeds)
    replay(GetParam(), "seed", input);
  for (const std::string& input : savedInputs("regressions", GetParam()))
    replay(GetParam(), "regression", input);
}

// Seeds with bytes flipped, replaced, cut off or repeated reach the refusals in every
// test run, not only while fuzzing.
TEST_P(FuzzReplayTest, DamagedSeedsKeepTheLaws) {
  const char* fixed = std::getenv("FLECK_TEST_SEED");
  const unsigned seed = fixed != nullptr ? static_cast<unsigned>(std::stoul(fixed)) : 1234;
  std::fprintf(stderr, "seed %u (set FLECK_TEST_SEED to repeat)\n", seed);
  std::mt19937 random(seed);
  const std::vector<std::string> seeds = savedInputs("corpus", GetParam());
  for (int round = 0; round < 400 && !seeds.empty(); ++round) {
    std::string input = seeds[random() % seeds.size()];
    for (unsigned edits = 1 + random() % 3; edits > 0; --edits) {
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
    replay(GetParam(), "round " + std::to_string(round), input);
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplayTest, ::testing::ValuesIn(getFuzzTargets()),
                         [](const ::testing::TestParamInfo<FuzzTarget>& info) {
                           return std::string(info.param.name);
                         });

// What today's writers make, today's readers take with every law holding.
TEST(FuzzSeedTest, FreshSeedsRunClean) {
  for (const FuzzTarget& target : getFuzzTargets()) {
    for (const auto& [name, input] : target.makeSeeds ? target.makeSeeds() : Seeds())
      replay(target, std::string(target.name) + "/" + name, input);
  }
}

}  // namespace
}  // namespace fleck::test
