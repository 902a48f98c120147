#include "fleck/ops/CDiskDiff.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "fleck/CFleckDataPreparer.h"
#include "fleck/ops/CDiskAccess.h"
#include "fleck/ops/CFleckTree.h"
#include "fleck/ops/COperationError.h"
#include "keel/CDigestManager.h"
#include "keel/IDigestType.h"

namespace fleck::ops {

namespace {

using Entry = CFleckTree::Entry;

// One fleck the two disks read from different places; null: no folder holds it.
struct Work {
  std::int64_t index;
  const Entry* a;
  const Entry* b;
};

// The payload digest of an all-zero fleck. Every stored payload is a whole fleck (the
// last one of a disk padded with zeros), so this is what a stored zero record carries.
std::string zeroDigest(const CFleckDiskHeader& header, const zel::CURI& disk) {
  zel::P<keel::IDigest> digest;
  try {
    zel::make<keel::CDigestManager>()->getType(header.getCheckSumHashID())->createDigest(digest);
  } catch (const zel::CError& e) {
    throw COperationError(disk, "cannot compare its flecks: " + COperationError::describe(e));
  }
  const std::string zeros(static_cast<std::size_t>(header.getFleckSize()), '\0');
  digest->update(zeros.data(), zeros.size());
  digest->finish();
  return std::string(reinterpret_cast<const char*>(digest->getResult()),
                     static_cast<std::size_t>(digest->getLength()));
}

// The payload digest from the head of a fleck file; nothing after the head is read.
std::string headDigest(zel::IFileSystem& fs, const zel::CURI& file, std::size_t digestLength) {
  const auto offset = static_cast<std::size_t>(CFleckDataPreparer::getDigestOffset());
  std::string head(offset + digestLength, '\0');
  std::size_t got;
  try {
    zel::P<zel::IIOStream> stream =
        fs.openStream(file, zel::IIOStream::AccessRead,
                      zel::IFileSystem::OpenExisting | zel::IFileSystem::OpenRegularOnly);
    got = static_cast<std::size_t>(stream->readLax(head.data(), static_cast<int>(head.size())));
    stream->close();
  } catch (const std::exception& e) {
    throw COperationError(zel::CURI(), "cannot read the fleck file " + CDiskAccess::show(file) +
                                           ": " + COperationError::describe(e));
  }
  // Only the head is looked at: the record digest that would vouch for it lies at the
  // end. A head that is plainly wrong is damage, never a guess.
  const std::string_view magic = CFleckDataPreparer::getRecordID();
  if (got < head.size() || !std::string_view(head).starts_with(magic)) {
    throw COperationError(zel::CURI(), "damaged fleck file " + CDiskAccess::show(file) + ": " +
                                           (got < head.size() ? "shorter than a record's head"
                                                              : "it does not start as a record") +
                                           " (`fleck verify` tells more)");
  }
  return head.substr(offset);
}

}  // namespace

CDiskDiff::CDiskDiff(zel::P<zel::IFileSystem> fs, int threads)
    : fs(std::move(fs)), threads(std::max(threads, 1)) {}

CDiskDiff::Result CDiskDiff::compare(const zel::CURI& a, const zel::CURI& b, IProgress* progress) {
  const CDiskAccess access(fs);
  const CFleckDiskHeader headerA = access.loadHeader(a);
  const CFleckDiskHeader headerB = access.loadHeader(b);
  // A missing parent would read as zeros and give a wrong answer without a word.
  access.checkParents(a);
  access.checkParents(b);
  const std::string both = CDiskAccess::show(a) + " and " + CDiskAccess::show(b);
  if (headerA.getFleckSize() != headerB.getFleckSize()) {
    throw COperationError(zel::CURI(), "the disks " + both + " have different fleck sizes (" +
                                           std::to_string(headerA.getFleckSize()) + " and " +
                                           std::to_string(headerB.getFleckSize()) +
                                           " bytes): they cannot be compared fleck by fleck");
  }
  if (headerA.getCheckSumHashID() != headerB.getCheckSumHashID()) {
    throw COperationError(zel::CURI(), "the disks " + both + " use different record digests (" +
                                           headerA.getCheckSumHashID().toUTF8() + " and " +
                                           headerB.getCheckSumHashID().toUTF8() +
                                           "): their flecks cannot be compared");
  }
  if (headerA.getFleckSize() <= 0)
    throw COperationError(a, "damaged header: the fleck size is not positive");

  Result result;
  result.fleckSize = headerA.getFleckSize();
  result.sizeA = std::max<std::int64_t>(headerA.getDiskSize(), 0);
  result.sizeB = std::max<std::int64_t>(headerB.getDiskSize(), 0);
  const std::int64_t common = std::min(result.sizeA, result.sizeB);
  const std::int64_t commonFlecks = (common + result.fleckSize - 1) / result.fleckSize;
  const std::string zeros = zeroDigest(headerA, a);
  const std::size_t digestLength = zeros.size();

  // Each folder of the two chains is listed once: shared parents are the common case.
  std::vector<zel::CURI> chainA{a}, chainB{b};
  for (const zel::CURI& parent : access.parentsOf(a))
    chainA.push_back(parent);
  for (const zel::CURI& parent : access.parentsOf(b))
    chainB.push_back(parent);
  std::map<zel::CURI, std::vector<Entry>> listed;
  CFleckTree tree(fs, headerA);
  tree.setWithSizes(false);
  std::vector<std::int64_t> indices;
  for (const std::vector<zel::CURI>* chain : {&chainA, &chainB}) {
    for (const zel::CURI& folder : *chain) {
      if (listed.count(folder) != 0) continue;
      std::vector<zel::CURI> blocked;
      std::vector<Entry>& entries = listed[folder] = tree.list(folder, nullptr, &blocked);
      if (!blocked.empty()) {
        throw COperationError(folder, "damaged fleck tree: " + CDiskAccess::show(blocked.front()) +
                                          " is not of the kind the tree needs there "
                                          "(`fleck verify` tells more)");
      }
      for (const Entry& entry : entries) {
        if (entry.index < commonFlecks) indices.push_back(entry.index);
      }
    }
  }
  std::sort(indices.begin(), indices.end());
  indices.erase(std::unique(indices.begin(), indices.end()), indices.end());

  // Which file each disk reads a fleck from: the nearest folder of its chain that holds it.
  const auto resolve = [&](const std::vector<zel::CURI>& chain) {
    std::vector<const Entry*> owner(indices.size(), nullptr);
    for (const zel::CURI& folder : chain) {
      for (const Entry& entry : listed.at(folder)) {
        const auto at = std::lower_bound(indices.begin(), indices.end(), entry.index);
        if (at == indices.end() || *at != entry.index) continue;
        const auto position = static_cast<std::size_t>(at - indices.begin());
        if (owner[position] == nullptr) owner[position] = &entry;
      }
    }
    return owner;
  };
  const std::vector<const Entry*> ownerA = resolve(chainA);
  const std::vector<const Entry*> ownerB = resolve(chainB);
  std::vector<Work> work;
  for (std::size_t i = 0; i < indices.size(); ++i) {
    if (ownerA[i] == ownerB[i]) {
      ++result.sharedFlecks;
      continue;
    }
    work.push_back(Work{indices[i], ownerA[i], ownerB[i]});
    result.headsRead += (ownerA[i] != nullptr ? 1 : 0) + (ownerB[i] != nullptr ? 1 : 0);
  }
  result.comparedFlecks = static_cast<std::int64_t>(work.size());

  // Each head is a request on object storage: a few threads keep several in flight.
  // Each one writes only its own elements of `differs`.
  std::vector<char> differs(work.size(), 0);
  std::atomic<std::size_t> next{0};
  std::atomic<std::int64_t> done{0};
  std::atomic<bool> failed{false};
  std::mutex errorMutex;  // guards error
  std::exception_ptr error;
  const auto digestOf = [&](const Entry* entry) {
    return entry == nullptr ? zeros : headDigest(*fs, entry->file, digestLength);
  };
  const auto runWorker = [&](bool reports) {
    try {
      for (std::size_t i; !failed.load() && (i = next.fetch_add(1)) < work.size();) {
        differs[i] = digestOf(work[i].a) != digestOf(work[i].b) ? 1 : 0;
        const std::int64_t count = done.fetch_add(1) + 1;
        if (reports && progress != nullptr) progress->update(count * result.fleckSize);
      }
    } catch (...) {
      const std::lock_guard<std::mutex> lock(errorMutex);
      if (!error) error = std::current_exception();
      failed.store(true);
    }
  };
  if (progress != nullptr) progress->start(result.comparedFlecks * result.fleckSize);
  {
    // Declared after everything the helpers use: leaving this block, also by an
    // exception, joins them first.
    std::vector<std::jthread> helpers;
    const auto helperCount = std::min<std::size_t>(static_cast<std::size_t>(threads) - 1,
                                                   work.size() > 1 ? work.size() - 1 : 0);
    try {
      for (std::size_t i = 0; i < helperCount; ++i)
        helpers.emplace_back(runWorker, false);
    } catch (...) {
      failed.store(true);
      throw;
    }
    runWorker(true);
  }
  if (error) std::rethrow_exception(error);
  if (progress != nullptr) progress->finish(done.load() * result.fleckSize);

  const auto add = [&result](std::int64_t offset, std::int64_t length) {
    if (!result.ranges.empty() &&
        result.ranges.back().offset + result.ranges.back().length == offset) {
      result.ranges.back().length += length;
    } else {
      result.ranges.push_back(Range{offset, length});
    }
    result.differingBytes += length;
  };
  for (std::size_t i = 0; i < work.size(); ++i) {
    if (differs[i] == 0) continue;
    ++result.differingFlecks;
    const std::int64_t offset = work[i].index * result.fleckSize;
    add(offset, std::min(result.fleckSize, common - offset));
  }
  // Past the smaller disk's end nothing is compared: all of it differs.
  const std::int64_t larger = std::max(result.sizeA, result.sizeB);
  if (larger > common) add(common, larger - common);
  return result;
}

}  // namespace fleck::ops
