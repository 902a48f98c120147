#include "fleck/ops/CCopyReuse.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fleck/ops/CCopyWorker.h"
#include "fleck/ops/CDoneWaiter.h"
#include "keel/CDigestManager.h"
#include "keel/IDigestType.h"
#include "zel/CError.h"

namespace fleck::ops {

namespace {

using Digest = std::optional<std::string>;

// One destination file of an index: one that a source file goes to, or a stale one.
struct Slot {
  CCopyPlan::File* file = nullptr;  // null for a stale file
  zel::CURI destination;
  bool present = false;
  Digest wanted;  // the source record's digest (files only)
  Digest held;    // what the destination holds there now
};

Digest digestOf(zel::IFileSystem& fs, const zel::CURI& file, int length) {
  std::string bytes(static_cast<std::size_t>(length), '\0');
  try {
    if (CCopyWorker::readDigest(fs, file, length, false,
                                reinterpret_cast<unsigned char*>(bytes.data())) < 0)
      return std::nullopt;
  } catch (const zel::CError&) {
    return std::nullopt;  // unreadable: the copy deals with it
  }
  return bytes;
}

// Makes the `levels` folders above `file` that a new disk of the copy lacks yet.
void makeFolders(zel::IFileSystem& fs, const zel::CURI& file, std::size_t levels) {
  std::vector<zel::CURI> folders;
  for (zel::CURI at = file.getParent(); folders.size() < levels; at = at.getParent())
    folders.push_back(at);
  for (auto at = folders.rbegin(); at != folders.rend(); ++at)
    fs.createFolder(*at, 0x1ff);
}

// The files of one index: reads what it must and moves what it can; returns the moves.
std::int64_t reuse(zel::IFileSystem& fs, std::vector<Slot>& slots, int digestLength,
                   std::size_t levels) {
  for (Slot& slot : slots) {
    if (slot.file != nullptr) slot.wanted = digestOf(fs, slot.file->source, digestLength);
    if (slot.present) slot.held = digestOf(fs, slot.destination, digestLength);
  }
  std::int64_t moves = 0;
  for (Slot& receiver : slots) {
    if (receiver.file == nullptr || !receiver.wanted || receiver.held == receiver.wanted) continue;
    // What the receiver holds now goes under the move: only when no one wants it.
    const bool heldWanted =
        receiver.present && std::any_of(slots.begin(), slots.end(), [&](const Slot& other) {
          return &other != &receiver && other.wanted && other.wanted == receiver.held;
        });
    if (heldWanted) continue;
    for (Slot& giver : slots) {
      // The giver's file must be one its own disk does not keep.
      if (&giver == &receiver || !giver.present || giver.held != receiver.wanted ||
          (giver.file != nullptr && giver.wanted == giver.held)) {
        continue;
      }
      try {
        if (!receiver.present) makeFolders(fs, receiver.destination, levels);
        auto waiter = zel::make<CDoneWaiter>();
        fs.moveAsync(giver.destination, receiver.destination, zel::IFileSystem::MoveReplace,
                     waiter.get());
        waiter->wait();
      } catch (const zel::CError&) {
        break;  // left to the copy: it writes the receiver, and the giver as planned
      }
      receiver.held = giver.held;
      receiver.present = true;
      receiver.file->destinationHeld = true;
      receiver.file->destinationExists = true;
      receiver.file->destinationSize = -1;
      giver.present = false;
      giver.held.reset();
      if (giver.file != nullptr) giver.file->destinationHeld = false;
      ++moves;
      break;
    }
  }
  return moves;
}

}  // namespace

std::int64_t CCopyReuse::run(zel::P<zel::IFileSystem> fs, CCopyPlan& plan, int threads) {
  if (plan.disks.size() < 2 || plan.reencrypt) return 0;
  // The tree path below the disk folder names the index: "flecks" and one folder per
  // level but the last, then the file.
  const std::size_t depth = static_cast<std::size_t>(plan.sourceHeader.getTreeLevels()) + 1;
  const auto keyOf = [depth](const zel::CURI& file) {
    const auto components = file.getComponents();
    std::string key;
    for (std::size_t i = components.size() - std::min(depth, components.size());
         i < components.size(); ++i)
      key += components[i].toUTF8() + "/";
    return key;
  };
  std::map<std::string, std::vector<Slot>> byIndex;
  for (CCopyPlan::File& file : plan.files) {
    byIndex[keyOf(file.destination)].push_back(
        Slot{&file, file.destination, file.destinationExists, std::nullopt, std::nullopt});
  }
  for (const zel::CURI& stale : plan.stale)
    byIndex[keyOf(stale)].push_back(Slot{nullptr, stale, true, std::nullopt, std::nullopt});
  // Only an index with something to receive and something else that may give.
  std::vector<std::vector<Slot>*> groups;
  for (auto& [key, slots] : byIndex) {
    const auto present =
        std::count_if(slots.begin(), slots.end(), [](const Slot& slot) { return slot.present; });
    if (slots.size() >= 2 && present >= 1) groups.push_back(&slots);
  }
  zel::P<keel::IDigest> digest;
  zel::make<keel::CDigestManager>()
      ->getType(plan.sourceHeader.getCheckSumHashID())
      ->createDigest(digest);
  const int digestLength = digest->getLength();

  std::atomic<std::size_t> next{0};
  std::atomic<std::int64_t> moves{0};
  const auto work = [&] {
    for (std::size_t at; (at = next++) < groups.size();)
      moves += reuse(*fs, *groups[at], digestLength, depth - 1);
  };
  {
    std::vector<std::jthread> pool;
    for (int i = 1; i < std::max(threads, 1) && static_cast<std::size_t>(i) < groups.size(); ++i)
      pool.emplace_back(work);
    work();
  }
  return moves;
}

}  // namespace fleck::ops
