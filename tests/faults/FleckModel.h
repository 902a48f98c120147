#pragma once

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "fleck/CFleckDisk.h"
#include "fs/FsTestSupport.h"

namespace fleck::test {

// What each fleck of a disk may hold when writes may each have reached it or not: any
// combination of the writes since the last checkpoint, applied to its content then.
class FleckModel {
 public:
  FleckModel(int fleckSize, std::int64_t size) : fleckSize(fleckSize), size(size) {
    settle(std::string(static_cast<std::size_t>(size), '\0'));
  }
  int count() const { return static_cast<int>((size + fleckSize - 1) / fleckSize); }
  std::int64_t length(int f) const {
    return std::min<std::int64_t>(fleckSize, size - f * fleckSize);
  }
  std::string fleckOf(const std::string& whole, int f) const {
    return whole.substr(static_cast<std::size_t>(f * fleckSize),
                        static_cast<std::size_t>(length(f)));
  }
  // Records a write; the flecks it touched.
  std::vector<int> write(std::int64_t at, const std::string& bytes) {
    std::vector<int> touched;
    for (int f = static_cast<int>(at / fleckSize); f * fleckSize < at + std::ssize(bytes); ++f) {
      const std::int64_t start = std::int64_t{f} * fleckSize, from = std::max(at, start);
      const auto n =
          static_cast<std::size_t>(std::min(at + std::ssize(bytes), start + length(f)) - from);
      auto apply = [&](std::string content) {
        return content.replace(static_cast<std::size_t>(from - start), n, bytes,
                               static_cast<std::size_t>(from - at), n);
      };
      for (const std::string& c : std::set<std::string>(candidates[f]))
        candidates[f].insert(apply(c));
      newest[f] = apply(newest[f]);
      touched.push_back(f);
    }
    return touched;
  }
  // True for a possible content, or for zeros when `zerosToo`: on a disk with a child,
  // a fleck's old file goes into the child before the new one is stored, and a failure
  // in between leaves the fleck reading zeros.
  bool mayHold(int f, const std::string& got, bool zerosToo) const {
    return candidates[f].count(got) != 0 ||
           (zerosToo && got.find_first_not_of('\0') == std::string::npos);
  }
  // The disk as read at a checkpoint is the only possible content from now on.
  void settle(const std::string& whole) {
    newest.clear();
    candidates.clear();
    for (int f = 0; f < count(); ++f) {
      newest.push_back(fleckOf(whole, f));
      candidates.push_back({newest.back()});
    }
  }
  std::vector<std::string> newest;  // with every write applied

 private:
  const std::int64_t fleckSize;
  const std::int64_t size;
  std::vector<std::set<std::string>> candidates;
};

inline std::string readWhole(CFleckDisk& disk, std::int64_t size) {
  std::string bytes(static_cast<std::size_t>(size), '\0');
  disk.seek(0);
  disk.read(bytes.data(), static_cast<int>(size));
  return bytes;
}

}  // namespace fleck::test
