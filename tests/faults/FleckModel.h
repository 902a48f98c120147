#pragma once

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "fleck/CFleckDisk.h"

namespace fleck::test {

// What each fleck of a disk may hold after writes that may or may not have reached the
// disk: its content at the last checkpoint and the contents it was given since.
class FleckModel {
 public:
  FleckModel(int fleckSize, std::int64_t diskSize)
      : fleckSize(fleckSize),
        diskSize(diskSize),
        newest(static_cast<std::size_t>((diskSize + fleckSize - 1) / fleckSize)) {
    for (int f = 0; f < count(); ++f)
      newest[f] = std::string(static_cast<std::size_t>(length(f)), '\0');
    candidates.assign(newest.size(), {});
    for (int f = 0; f < count(); ++f)
      candidates[f] = {newest[f]};
  }

  int count() const { return static_cast<int>(newest.size()); }
  std::int64_t length(int f) const {
    return std::min<std::int64_t>(fleckSize, diskSize - std::int64_t{f} * fleckSize);
  }

  // Records a write of `bytes` at `at`; the indexes of the flecks it touched. When
  // `anyEarlier`, writes can fail one by one (a fleck may then hold any combination of
  // them); otherwise they reach the disk in order and only a prefix of them counts.
  std::vector<int> write(std::int64_t at, const std::string& bytes, bool anyEarlier) {
    std::vector<int> touched;
    const std::int64_t end = at + std::ssize(bytes);
    for (int f = static_cast<int>(at / fleckSize); f <= (end - 1) / fleckSize; ++f) {
      const std::int64_t start = std::int64_t{f} * fleckSize;
      const std::int64_t from = std::max(at, start);
      const std::int64_t to = std::min(end, start + length(f));
      auto apply = [&](std::string content) {
        return content.replace(
            static_cast<std::size_t>(from - start), static_cast<std::size_t>(to - from), bytes,
            static_cast<std::size_t>(from - at), static_cast<std::size_t>(to - from));
      };
      std::set<std::string> next = anyEarlier ? candidates[f] : std::set<std::string>{};
      for (const auto& c : anyEarlier ? candidates[f] : std::set<std::string>{newest[f]})
        next.insert(apply(c));
      if (!anyEarlier) next.insert(candidates[f].begin(), candidates[f].end());
      candidates[f] = std::move(next);
      newest[f] = apply(newest[f]);
      touched.push_back(f);
    }
    return touched;
  }

  std::string fleckOf(const std::string& whole, int f) const {
    return whole.substr(static_cast<std::size_t>(f) * fleckSize,
                        static_cast<std::size_t>(length(f)));
  }
  // True when `got` is one of the fleck's possible contents, or all zeros and
  // `zerosToo`: on a disk with a child the old file of a fleck goes into the child
  // before the new one is stored, and a failure in between leaves the fleck reading
  // zeros.
  bool mayHold(int f, const std::string& got, bool zerosToo) const {
    return candidates[f].count(got) != 0 ||
           (zerosToo && got.find_first_not_of('\0') == std::string::npos);
  }
  // The disk as read at a checkpoint becomes the only possible content.
  void settle(const std::string& whole) {
    for (int f = 0; f < count(); ++f) {
      newest[f] = fleckOf(whole, f);
      candidates[f] = {newest[f]};
    }
  }
  const std::string& newestOf(int f) const { return newest[f]; }

 private:
  const int fleckSize;
  const std::int64_t diskSize;
  std::vector<std::string> newest;
  std::vector<std::set<std::string>> candidates;
};

inline std::string readWhole(CFleckDisk& disk, std::int64_t size) {
  std::string bytes(static_cast<std::size_t>(size), '\0');
  disk.seek(0);
  disk.read(bytes.data(), static_cast<int>(size));
  return bytes;
}

}  // namespace fleck::test
