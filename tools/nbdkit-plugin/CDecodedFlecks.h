#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "fleck/CFleck.h"
#include "fleck/CFleckDisk.h"
#include "zel/P.h"

namespace fleck::nbd {

// Decoded flecks shared by the requests that read a disk whose changes are all stored.
// The first request that needs a fleck decodes it through a fleck object of its own
// (from a pool of stand-alone objects); requests for it meanwhile wait for that one
// decode. The most recently used flecks are kept. Flecks ahead of a client that reads in
// order are decoded by threads of this object.
//
// The fleck objects read the fleck files, not what the disk's own fleck object holds:
// the owner calls clear() before it changes the disk, and uses this object again only
// once every change is stored.
//
// Threads: get() and readAhead() from any threads at once; clear() while neither runs
// (the owner's exclusive lock). `mutex` guards everything below it; decoding runs
// outside it.
class CDecodedFlecks final {
 public:
  using Payload = std::shared_ptr<const std::vector<unsigned char>>;

  // `threads` read ahead; at most `capacity` decoded flecks are kept (at least 2).
  CDecodedFlecks(zel::P<CFleckDisk> disk, int threads, std::size_t capacity);
  // Stops the read-ahead threads after the decode they run.
  ~CDecodedFlecks();
  CDecodedFlecks(const CDecodedFlecks&) = delete;
  CDecodedFlecks& operator=(const CDecodedFlecks&) = delete;

  // The payload of fleck `index` (shorter than a fleck only at the disk's end). Throws
  // what decoding it threw; the next request tries again.
  Payload get(std::int64_t index);
  // True when fleck `index` is kept or being decoded.
  bool has(std::int64_t index);
  // Decodes fleck `index` on a read-ahead thread unless it is kept, being decoded,
  // queued already or the queue is full; true when it was queued now. Never waits.
  bool readAhead(std::int64_t index);
  // Forgets every decoded fleck and fleck object, after the decodes under way.
  void clear();

 private:
  struct Entry {
    Payload data;  // null while being decoded
    std::uint64_t lastUse = 0;
  };

  // Decodes `index` (outside the lock) and keeps it; rethrows a failure.
  Payload decode(std::unique_lock<std::mutex>& lock, std::int64_t index);
  // An idle fleck object, or null (lock held); and back when a decode is done.
  zel::P<CFleck> takeIdle();
  void giveBack(const zel::P<CFleck>& fleck, bool failed);
  // Drops the least recently used decoded flecks beyond the capacity (lock held).
  void evict();
  void readAheadLoop(std::stop_token stop);
  // Decodes the `count` flecks from `first` on as one batch (CFleck::readFlecks) and
  // keeps them; on a failure keeps none (the requests decode them one by one).
  void decodeRun(std::unique_lock<std::mutex>& lock, std::int64_t first, std::int64_t count);

  // Flecks a read-ahead thread decodes at once.
  static constexpr std::int64_t kReadAheadBatch = 8;

  const zel::P<CFleckDisk> disk;
  const std::int64_t fleckSize;
  const std::int64_t diskSize;
  const std::size_t capacity;
  std::mutex mutex;
  std::condition_variable changed;  // an entry was decoded or dropped; work was queued
  std::map<std::int64_t, Entry> entries;
  std::deque<std::int64_t> queue;    // flecks to read ahead
  std::vector<zel::P<CFleck>> idle;  // fleck objects no decode uses now
  std::uint64_t useClock = 0;
  int decoding = 0;
  std::vector<std::jthread> threads;  // last: they stop before the members above go
};

}  // namespace fleck::nbd
