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

// The saved inputs (file, bytes) under fuzz/<kind>/<target>, in name order. fuzz/ is
// FLECK_FUZZ_DIR, else next to this source, else found above the test binary (ctest runs
// in the build folder, from where a relative __FILE__ does not lead).
Seeds savedInputs(const char* kind, const FuzzTarget& target) {
  fs::path fuzz = fs::path(__FILE__).parent_path().parent_path().parent_path() / "fuzz";
  for (fs::path at = fs::canonical("/proc/self/exe");
       !fs::is_directory(fuzz / "corpus") && at != at.root_path(); at = at.parent_path())
    fuzz = at / "fuzz";
  if (const char* folder = std::getenv("FLECK_FUZZ_DIR")) fuzz = folder;
  Seeds inputs;
  if (!fs::is_directory(fuzz / kind / target.name)) return inputs;
  for (const auto& entry : fs::directory_iterator(fuzz / kind / target.name)) {
    std::ifstream in(entry.path(), std::ios::binary);
    if (entry.is_regular_file())
      inputs.emplace_back(entry.path(), std::string(std::istreambuf_iterator<char>(in), {}));
  }
  std::sort(inputs.begin(), inputs.end());
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
  const Seeds seeds = savedInputs("corpus", GetParam());
  ASSERT_FALSE(seeds.empty()) << "no seed corpus for " << GetParam().name;
  for (const auto& [file, input] : seeds)
    replay(GetParam(), file, input);
  for (const auto& [file, input] : savedInputs("regressions", GetParam()))
    replay(GetParam(), file, input);
}

// Seeds with bytes flipped, replaced, cut off or repeated reach the refusals in every
// test run, not only while fuzzing.
TEST_P(FuzzReplayTest, DamagedSeedsKeepTheLaws) {
  const char* fixed = std::getenv("FLECK_TEST_SEED");
  const unsigned seed = fixed != nullptr ? static_cast<unsigned>(std::stoul(fixed)) : 1234;
  std::fprintf(stderr, "seed %u (set FLECK_TEST_SEED to repeat)\n", seed);
  std::mt19937 random(seed);
  const Seeds seeds = savedInputs("corpus", GetParam());
  for (int round = 0; round < 400 && !seeds.empty(); ++round) {
    std::string input = seeds[random() % seeds.size()].second;
    for (unsigned edits = 1 + random() % 3; edits > 0; --edits) {
      const std::size_t at = random() % input.size();
      const unsigned what = random() % 4;
      if (what == 0) input[at] = static_cast<char>(input[at] ^ (1 << (random() % 8)));
      if (what == 1) input[at] = static_cast<char>(random());
      if (what == 2) input.resize(at + 1);
      if (what == 3) input.insert(at, input.substr(at, 1 + random() % 16));
    }
    replay(GetParam(), "round " + std::to_string(round), input);
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplayTest, ::testing::ValuesIn(getFuzzTargets()),
                         [](const ::testing::TestParamInfo<FuzzTarget>& info) {
                           return std::string(info.param.name);
                         });

// What today's writers make, today's readers take with every law holding. After a
// format change, FLECK_WRITE_SEEDS=fuzz/corpus writes them into the seed corpus too.
TEST(FuzzSeedTest, FreshSeedsRunClean) {
  const char* corpus = std::getenv("FLECK_WRITE_SEEDS");
  for (const FuzzTarget& target : getFuzzTargets()) {
    for (const auto& [name, input] : target.makeSeeds ? target.makeSeeds() : Seeds()) {
      replay(target, std::string(target.name) + "/" + name, input);
      if (corpus == nullptr) continue;
      fs::create_directories(fs::path(corpus) / target.name);
      EXPECT_TRUE(std::ofstream(fs::path(corpus) / target.name / name, std::ios::binary)
                      .write(input.data(), static_cast<std::streamsize>(input.size())));
    }
  }
}

}  // namespace
}  // namespace fleck::test
