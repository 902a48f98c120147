#pragma once

#include <cstddef>
#include <vector>

#include "zel/CBase.h"

namespace zel {

// The allocator a CLZMACompressor hands to liblzma. liblzma's one-call coders set up
// and free all their memory (match finder tables, dictionary) within every call; this
// cache keeps those blocks so that the next call of the same shape gets them back
// without going to malloc (or, for the large tables, to mmap and fresh page faults).
//
// A block is reused only for a request of exactly its size. endCall trims the cache to
// what the last call used, so it never holds more than one call's working set; the
// owner may also have it drop every idle block (after a failed decode, where garbage
// input may have asked for a large dictionary). Not thread-safe: it belongs to one
// compressor.
class CLZMAMemoryCache final : public CBase {
 public:
  CLZMAMemoryCache();
  ~CLZMAMemoryCache() override;
  CLZMAMemoryCache(const CLZMAMemoryCache&) = delete;
  CLZMAMemoryCache& operator=(const CLZMAMemoryCache&) = delete;

  // liblzma's allocator callbacks; `opaque` is the cache. allocate returns null when
  // memory runs out, which liblzma reports as LZMA_MEM_ERROR.
  static void* allocate(void* opaque, std::size_t count, std::size_t size) noexcept;
  static void release(void* opaque, void* memory) noexcept;

  // Ends one coder call: frees idle blocks that the call did not use, or every idle
  // block when keep is false.
  void endCall(bool keep) noexcept;

  // Blocks held right now (lent or idle), and their total size; for tests.
  std::size_t getBlockCount() const noexcept { return blocks.size(); }
  std::size_t getHeldBytes() const noexcept;

 private:
  struct Block {
    void* memory;
    std::size_t size;
    bool lent;        // handed to liblzma and not yet released
    bool usedInCall;  // lent at some point since the last endCall
  };
  void* take(std::size_t size) noexcept;
  void giveBack(void* memory) noexcept;

  std::vector<Block> blocks;  // owned; few (liblzma asks for a handful per call)
};

}  // namespace zel
