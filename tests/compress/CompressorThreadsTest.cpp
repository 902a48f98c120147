// Compressors are one per user; users on different threads must not share hidden state.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "CompressTestSupport.h"
#include "zel/CError.h"

namespace fleck_test {
namespace {

TEST(CompressorThreadsTest, ObjectsOnDifferentThreadsWorkIndependently) {
  const std::uint64_t seed = testSeed() + 50;
  SCOPED_TRACE("seed " + std::to_string(seed));
  const Bytes data = textLikeBytes(seed, 96 * 1024);
  const std::vector<CompressorSetting> settings = allSettings();
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      try {
        for (std::size_t i = 0; i < settings.size(); ++i) {
          const CompressorSetting& setting =
              settings[(i + static_cast<std::size_t>(t) * 3) % settings.size()];
          auto compressor = setting.make();
          for (int round = 0; round < 2; ++round) {
            const Bytes compressed = compressAll(*compressor, data);
            Bytes out(data.size());
            const std::size_t length = compressor->decompress(compressed.data(), compressed.size(),
                                                              out.data(), out.size());
            if (length != data.size() || out != data) failures.fetch_add(1);
          }
        }
      } catch (const zel::CError&) {
        failures.fetch_add(1);
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace fleck_test
