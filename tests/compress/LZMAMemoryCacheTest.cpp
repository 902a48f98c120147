// The allocator cache that spares liblzma's one-call coders a trip to malloc per call.

#include <gtest/gtest.h>

#include <cstdint>

#include "compress/CLZMAMemoryCache.h"

namespace fleck_test {
namespace {

using zel::CLZMAMemoryCache;

TEST(LZMAMemoryCacheTest, ReusesBlocksOfTheSameSizeAcrossCalls) {
  CLZMAMemoryCache cache;
  void* a = CLZMAMemoryCache::allocate(&cache, 1, 1000);
  void* b = CLZMAMemoryCache::allocate(&cache, 10, 50);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  static_cast<unsigned char*>(a)[999] = 1;  // usable to its end
  CLZMAMemoryCache::release(&cache, a);
  CLZMAMemoryCache::release(&cache, b);
  cache.endCall(true);
  EXPECT_EQ(cache.getBlockCount(), 2u);
  EXPECT_EQ(cache.getHeldBytes(), 1500u);

  // The next call of the same shape gets the same memory back.
  EXPECT_EQ(CLZMAMemoryCache::allocate(&cache, 500, 1), b);
  EXPECT_EQ(CLZMAMemoryCache::allocate(&cache, 1000, 1), a);
  // A second request of a size already lent gets a block of its own.
  void* c = CLZMAMemoryCache::allocate(&cache, 1000, 1);
  EXPECT_NE(c, a);
  for (void* p : {a, b, c})
    CLZMAMemoryCache::release(&cache, p);
  cache.endCall(true);
  EXPECT_EQ(cache.getBlockCount(), 3u);
}

TEST(LZMAMemoryCacheTest, KeepsOnlyWhatTheLastCallUsed) {
  CLZMAMemoryCache cache;
  void* big = CLZMAMemoryCache::allocate(&cache, 1, 1 << 20);
  CLZMAMemoryCache::release(&cache, big);
  cache.endCall(true);
  void* small = CLZMAMemoryCache::allocate(&cache, 1, 100);
  CLZMAMemoryCache::release(&cache, small);
  cache.endCall(true);
  EXPECT_EQ(cache.getBlockCount(), 1u);
  EXPECT_EQ(cache.getHeldBytes(), 100u);
}

TEST(LZMAMemoryCacheTest, DropsEverythingIdleAfterAFailedCall) {
  CLZMAMemoryCache cache;
  void* a = CLZMAMemoryCache::allocate(&cache, 1, 100);
  void* stillLent = CLZMAMemoryCache::allocate(&cache, 1, 200);
  CLZMAMemoryCache::release(&cache, a);
  cache.endCall(false);
  EXPECT_EQ(cache.getBlockCount(), 1u) << "a lent block stays";
  CLZMAMemoryCache::release(&cache, stillLent);
  cache.endCall(false);
  EXPECT_EQ(cache.getBlockCount(), 0u);
}

TEST(LZMAMemoryCacheTest, RefusesOverflowingAndHandlesEmptyRequests) {
  CLZMAMemoryCache cache;
  EXPECT_EQ(CLZMAMemoryCache::allocate(&cache, SIZE_MAX / 2, 3), nullptr);
  void* empty = CLZMAMemoryCache::allocate(&cache, 0, 16);
  EXPECT_NE(empty, nullptr) << "null would read as out of memory";
  CLZMAMemoryCache::release(&cache, empty);
  CLZMAMemoryCache::release(&cache, nullptr);
  cache.endCall(true);
  EXPECT_EQ(cache.getBlockCount(), 1u);
}

}  // namespace
}  // namespace fleck_test
