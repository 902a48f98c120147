// Buffers and their bounds, secrets wiped, and the most-recently-used cache against a
// model.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <list>
#include <random>
#include <string>
#include <vector>

#include "zel/CError.h"
#include "zel/TConstBufferSlice.h"
#include "zel/TCryptBuffer.h"
#include "zel/TMostRecentlyUsedCache.h"

namespace fleck::test {
namespace {

using zel::P;
using Bytes = zel::TBuffer<unsigned char>;

std::string text(const Bytes& buffer) {
  return std::string(reinterpret_cast<const char*>(buffer.getData()), buffer.getUsed());
}

const unsigned char* raw(const char* s) {
  return reinterpret_cast<const unsigned char*>(s);
}

TEST(BuffersTest, GrowthKeepsContentsAndBoundsAreChecked) {
  Bytes buffer(raw("hello"), 5);
  buffer.setUsed(2);
  std::memcpy(buffer.getFreePtr(8), "de", 2);  // room for 8 behind what is used
  EXPECT_GE(buffer.getCapacity(), 10u);
  buffer.addUsed(2);
  EXPECT_EQ(text(buffer), "hede");
  // addUsed past the capacity throws and changes nothing; up to it is fine.
  const std::size_t room = buffer.getCapacity() - buffer.getUsed();
  EXPECT_THROW(buffer.addUsed(room + 1), zel::CError);
  EXPECT_THROW(buffer.addUsed(static_cast<std::size_t>(-1)), zel::CError);
  EXPECT_EQ(buffer.getUsed(), 4u);
  buffer.addUsed(room);
  // The source of assign and append may lie in the buffer's own storage.
  buffer.assign(raw("abcdefgh"), 8);
  buffer.assign(buffer.getData() + 2, 4);
  EXPECT_EQ(text(buffer), "cdef");
  buffer = Bytes(raw("abcd"), 4);
  buffer.append(buffer.getData(), 4);  // must grow, freeing the source
  buffer.append(buffer.getData() + 1, 2);
  EXPECT_EQ(text(buffer), "abcdabcdbc");

  P<Bytes> shared = zel::make<Bytes>(raw("0123456789"), 10);
  using Slice = zel::TConstBufferSlice<unsigned char>;
  const Slice part(shared, 3, 4);
  shared.reset();  // the slice keeps the buffer
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(part.getData()), part.getLength()), "3456");
  EXPECT_NO_THROW(Slice(part.getBuffer(), 10, 0));
  EXPECT_THROW(Slice(part.getBuffer(), 11, 0), zel::CError);
  EXPECT_THROW(Slice(part.getBuffer(), 5, 6), zel::CError);
  EXPECT_THROW(Slice(part.getBuffer(), 1, static_cast<std::size_t>(-1)), zel::CError);
}

// Records what TCryptBuffer wipes: the contents before, and whether it was zero after.
class CWatchedCryptBuffer final : public zel::TCryptBuffer<unsigned char> {
 public:
  CWatchedCryptBuffer(std::vector<std::string>& log, const char* s)
      : TCryptBuffer(raw(s), std::strlen(s)), log(log) {}
  ~CWatchedCryptBuffer() override { releaseStorage(); }

 protected:
  void discard(unsigned char* elements, std::size_t count) noexcept override {
    std::string before(reinterpret_cast<const char*>(elements), count);
    TCryptBuffer::discard(elements, count);
    log.push_back(std::all_of(elements, elements + count, [](auto b) { return b == 0; })
                      ? before
                      : "not wiped");
  }

 private:
  std::vector<std::string>& log;
};

TEST(BuffersTest, CryptBufferWipesWhatLeavesUse) {
  using Change = void (*)(CWatchedCryptBuffer&);
  const std::pair<Change, const char*> cases[] = {
      {[](CWatchedCryptBuffer& b) { b.setUsed(6); }, "-key"},
      {[](CWatchedCryptBuffer& b) { b.assign(raw("ab"), 2); }, "cret-key"},
      {[](CWatchedCryptBuffer& b) { b.clear(); }, "secret-key"},
      // Growth moves the contents and wipes the old storage whole.
      {[](CWatchedCryptBuffer& b) { b.setUsed(11); }, "secret-key"},
      {[](CWatchedCryptBuffer& b) { b.reserve(11); }, "secret-key"},
      {[](CWatchedCryptBuffer& b) { (void)b.getFreePtr(1); }, "secret-key"},
      {[](CWatchedCryptBuffer& b) { b.append(b.getData(), b.getUsed()); }, "secret-key"},
  };
  for (const auto& [change, wiped] : cases) {
    std::vector<std::string> log;
    CWatchedCryptBuffer secret(log, "secret-key");
    change(secret);
    EXPECT_EQ(log, std::vector<std::string>{wiped});
    EXPECT_TRUE(secret.getUsed() < 10 || std::memcmp(secret.getData(), "secret-key", 10) == 0);
  }
  std::vector<std::string> log;
  {
    CWatchedCryptBuffer secret(log, "0123456789");
    secret.setUsed(4);
    std::memcpy(secret.getFreePtr(2), "XY", 2);  // written, never taken into use
    log.clear();
  }
  EXPECT_EQ(log, std::vector<std::string>{std::string("0123XY") + std::string(4, '\0')});
}

// Random operations on the cache and on a list model of it: the same keys in the same
// order, the same values, the same evictions.
TEST(MostRecentlyUsedCacheTest, BehavesLikeAListModel) {
  const char* seed = std::getenv("FLECK_TEST_SEED");
  SCOPED_TRACE(std::string("seed ") + (seed != nullptr ? seed : "20261206") + " (FLECK_TEST_SEED)");
  std::mt19937_64 random(seed != nullptr ? std::strtoull(seed, nullptr, 0) : 20261206);
  using Pairs = std::list<std::pair<int, int>>;
  for (int capacity : {0, 1, 3, 8}) {
    zel::TMostRecentlyUsedCache<int, int> cache(capacity, capacity != 3);
    zel::TMostRecentlyUsedCache<int, int>::EvictionList evicted;
    cache.setEvictionList(&evicted);
    Pairs model;  // most recent first
    Pairs modelEvicted;
    const auto trim = [&] {
      for (; model.size() > static_cast<std::size_t>(capacity); model.pop_back())
        modelEvicted.push_back(model.back());
    };
    for (int step = 0; step < 2000; ++step) {
      const int key = static_cast<int>(random() % 12);
      const auto it =
          std::find_if(model.begin(), model.end(), [key](const auto& e) { return e.first == key; });
      const bool present = it != model.end();
      switch (random() % 6) {
        case 0:
        case 1:
          cache.insert(key, step);
          if (present) model.erase(it);
          model.emplace_front(key, step);
          if (cache.isAutoTrim() && !present) trim();  // a replacement evicts nothing
          break;
        case 2: {
          const int* found = cache.lookup(key);
          ASSERT_EQ(found != nullptr ? *found : -1, present ? it->second : -1);
          if (present) model.splice(model.begin(), model, it);
          break;
        }
        case 3:
          ASSERT_EQ(cache.contains(key), present);  // no refresh
          break;
        case 4:
          ASSERT_EQ(cache.remove(key), present);  // not an eviction
          if (present) model.erase(it);
          break;
        default:
          cache.trim();
          trim();
      }
      std::vector<int> keys;
      for (const auto& e : model)
        keys.push_back(e.first);
      ASSERT_EQ(cache.getKeysMostRecentFirst(), keys) << "step " << step;
      ASSERT_EQ(Pairs(evicted.begin(), evicted.end()), modelEvicted) << "step " << step;
    }
  }
}

}  // namespace
}  // namespace fleck::test
