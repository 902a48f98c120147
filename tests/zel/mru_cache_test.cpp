#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "zel/P.h"
#include "zel/TBuffer.h"
#include "zel/TMostRecentlyUsedCache.h"

namespace zel {
namespace {

using Cache = TMostRecentlyUsedCache<int, std::string>;
using Keys = std::vector<int>;

TEST(MostRecentlyUsedCacheTest, LookupAndReplaceRefreshAndTheLeastRecentGoesFirst) {
  Cache cache(3);
  cache.insert(1, "one");
  cache.insert(2, "two");
  cache.insert(3, "three");
  EXPECT_EQ(cache.getKeysMostRecentFirst(), (Keys{3, 2, 1}));

  ASSERT_NE(cache.lookup(1), nullptr);
  EXPECT_EQ(*cache.lookup(1), "one");
  EXPECT_EQ(cache.lookup(7), nullptr);
  EXPECT_EQ(cache.getKeysMostRecentFirst(), (Keys{1, 3, 2}));

  cache.insert(4, "four");  // 2 is the least recent now
  EXPECT_EQ(cache.size(), 3u);
  EXPECT_FALSE(cache.contains(2));
  EXPECT_EQ(cache.getKeysMostRecentFirst(), (Keys{4, 1, 3}));

  // contains does not refresh: 3 still goes next.
  EXPECT_TRUE(cache.contains(3));
  cache.insert(5, "five");
  EXPECT_FALSE(cache.contains(3));
  EXPECT_EQ(cache.getKeysMostRecentFirst(), (Keys{5, 4, 1}));

  // Replacing a value moves it to the front without growing.
  cache.insert(4, "vier");
  EXPECT_EQ(cache.getKeysMostRecentFirst(), (Keys{4, 5, 1}));
  EXPECT_EQ(*cache.lookup(4), "vier");
}

TEST(MostRecentlyUsedCacheTest, TheEvictionListReceivesEvictedPairsInOrder) {
  Cache cache(2);
  Cache::EvictionList evicted;
  cache.setEvictionList(&evicted);
  cache.insert(1, "one");
  cache.insert(2, "two");
  cache.insert(3, "three");
  cache.lookup(2);
  cache.insert(4, "four");
  cache.insert(4, "vier");  // a replacement evicts nothing
  using Pairs = std::vector<std::pair<int, std::string>>;
  EXPECT_EQ(Pairs(evicted.begin(), evicted.end()), (Pairs{{1, "one"}, {3, "three"}}));

  // Removed and cleared entries are not evictions.
  cache.remove(2);
  cache.clear();
  EXPECT_EQ(evicted.size(), 2u);
  EXPECT_TRUE(cache.isEmpty());

  cache.setEvictionList(nullptr);
  cache.insert(5, "a");
  cache.insert(6, "b");
  cache.insert(7, "c");
  EXPECT_EQ(evicted.size(), 2u);
}

TEST(MostRecentlyUsedCacheTest, WithoutAutoTrimOnlyTrimEvicts) {
  Cache cache(2, false);
  Cache::EvictionList evicted;
  cache.setEvictionList(&evicted);
  for (int i = 1; i <= 5; ++i)
    cache.insert(i, std::to_string(i));
  EXPECT_EQ(cache.size(), 5u);
  EXPECT_TRUE(evicted.empty());
  cache.lookup(1);
  cache.trim();
  EXPECT_EQ(cache.getKeysMostRecentFirst(), (Keys{1, 5}));
  EXPECT_EQ(evicted.size(), 3u);
  EXPECT_EQ(evicted.front().first, 2);
  EXPECT_EQ(evicted.back().first, 4);
}

TEST(MostRecentlyUsedCacheTest, RemoveKeepsTheOrderOfTheRest) {
  Cache cache(5);
  for (int i = 1; i <= 5; ++i)
    cache.insert(i, std::to_string(i));
  EXPECT_TRUE(cache.remove(3));
  EXPECT_FALSE(cache.remove(3));
  EXPECT_EQ(cache.removeIf([](int key, const std::string&) { return key % 2 == 0; }), 2u);
  EXPECT_EQ(cache.getKeysMostRecentFirst(), (Keys{5, 1}));
  cache.insert(6, "6");
  cache.insert(7, "7");
  cache.insert(8, "8");
  cache.insert(9, "9");  // the sixth key: 1 goes
  EXPECT_EQ(cache.getKeysMostRecentFirst(), (Keys{9, 8, 7, 6, 5}));
}

TEST(MostRecentlyUsedCacheTest, ACapacityOfZeroKeepsNothing) {
  Cache cache(0);
  cache.insert(1, "one");
  EXPECT_TRUE(cache.isEmpty());
  Cache negative(-3);
  EXPECT_EQ(negative.getCapacity(), 0);
}

TEST(MostRecentlyUsedCacheTest, CountedValuesAreReleasedWhenEvicted) {
  TMostRecentlyUsedCache<long long, P<TBuffer<unsigned char>>> cache(1);
  auto first = make<TBuffer<unsigned char>>(16);
  cache.insert(0, first);
  EXPECT_EQ(first->getRefCount(), 2);
  cache.insert(1, make<TBuffer<unsigned char>>(16));
  EXPECT_EQ(first->getRefCount(), 1);
}

}  // namespace
}  // namespace zel
