#include "compress/CLZMAMemoryCache.h"

#include <cstdlib>
#include <limits>
#include <new>

namespace zel {

CLZMAMemoryCache::CLZMAMemoryCache() = default;

CLZMAMemoryCache::~CLZMAMemoryCache() {
  for (const Block& block : blocks)
    std::free(block.memory);
}

void* CLZMAMemoryCache::allocate(void* opaque, std::size_t count, std::size_t size) noexcept {
  if (size != 0 && count > std::numeric_limits<std::size_t>::max() / size) return nullptr;
  return static_cast<CLZMAMemoryCache*>(opaque)->take(count * size);
}

void CLZMAMemoryCache::release(void* opaque, void* memory) noexcept {
  if (memory != nullptr) static_cast<CLZMAMemoryCache*>(opaque)->giveBack(memory);
}

void* CLZMAMemoryCache::take(std::size_t size) noexcept {
  for (Block& block : blocks) {
    if (!block.lent && block.size == size) {
      block.lent = true;
      block.usedInCall = true;
      return block.memory;
    }
  }
  // malloc(0) may return null, which liblzma would take for a failure.
  void* memory = std::malloc(size != 0 ? size : 1);
  if (memory == nullptr) return nullptr;
  try {
    blocks.push_back(Block{memory, size, true, true});
  } catch (const std::bad_alloc&) {
    std::free(memory);
    return nullptr;
  }
  return memory;
}

void CLZMAMemoryCache::giveBack(void* memory) noexcept {
  for (Block& block : blocks) {
    if (block.memory == memory) {
      block.lent = false;
      return;
    }
  }
  // Not ours: liblzma only frees what it allocated through us, so this cannot happen;
  // freeing is still the right thing for memory handed to release.
  std::free(memory);
}

void CLZMAMemoryCache::endCall(bool keep) noexcept {
  std::size_t kept = 0;
  for (Block& block : blocks) {
    if (block.lent || (keep && block.usedInCall)) {
      block.usedInCall = false;
      blocks[kept++] = block;
    } else {
      std::free(block.memory);
    }
  }
  blocks.erase(blocks.begin() + static_cast<std::ptrdiff_t>(kept), blocks.end());
}

std::size_t CLZMAMemoryCache::getHeldBytes() const noexcept {
  std::size_t total = 0;
  for (const Block& block : blocks)
    total += block.size;
  return total;
}

}  // namespace zel
