#include "fleck/ops/CCopyPlan.h"

#include <algorithm>
#include <map>
#include <set>
#include <string>

#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskLock.h"
#include "fleck/CFleckDiskMark.h"
#include "fleck/ops/CDiskAccess.h"
#include "fleck/ops/CFleckTree.h"
#include "fleck/ops/COperationError.h"

namespace fleck::ops {

namespace {

// True when `inner` is `outer` or lies below it.
bool isWithin(const zel::CURI& inner, const zel::CURI& outer) {
  const auto& a = inner.getComponents();
  const auto& b = outer.getComponents();
  return inner.getScheme() == outer.getScheme() && inner.getAuthority() == outer.getAuthority() &&
         a.size() >= b.size() && std::equal(b.begin(), b.end(), a.begin());
}

// What a destination disk folder holds before the copy.
struct Existing {
  bool folder = false;
  bool header = false;        // a header file (either copy) is there
  bool headerLoaded = false;  // and one copy could be read
  CFleckDiskHeader loaded;
};

Existing inspect(zel::IFileSystem* fs, const zel::CURI& folder) {
  Existing existing;
  existing.folder = fs->folderExists(folder);
  if (!existing.folder) {
    if (fs->exists(folder)) throw COperationError(folder, "not a folder");
    return existing;
  }
  const std::vector<zel::IFileSystem::FolderEntry> entries = fs->listFolder(folder);
  if (CFleckDiskMark::isPresent(fs, folder)) {
    CFleckDiskMark mark;
    try {
      mark.load(fs, folder);
    } catch (const zel::CError&) {
      // A damaged mark of our own: the copy made it and a rerun goes over it.
    }
    if (!mark.getOperation().empty() && mark.getOperation() != L"copy") {
      throw COperationError(folder, "an interrupted " + mark.getOperation().toUTF8() +
                                        " left this disk unfinished; it is no copy to go over");
    }
  } else if (!fs->exists(CFleckDiskHeader::getHeaderURI(folder, 0)) &&
             !fs->exists(CFleckDiskHeader::getHeaderURI(folder, 1)) &&
             std::any_of(entries.begin(), entries.end(), [](const auto& entry) {
               // A copy killed before its mark leaves only its writer lock's file.
               return entry.name != CFleckDiskLock::getLockFileName();
             })) {
    throw COperationError(folder,
                          "the folder is not empty and holds no disk: copy into an empty "
                          "or new folder");
  }
  existing.header = fs->exists(CFleckDiskHeader::getHeaderURI(folder, 0)) ||
                    fs->exists(CFleckDiskHeader::getHeaderURI(folder, 1));
  if (existing.header) {
    try {
      existing.loaded.load(fs, folder);
      existing.headerLoaded = true;
    } catch (const zel::CError& e) {
      // A copy killed while it wrote the header leaves it torn; it is marked then.
      if (!CFleckDiskMark::isPresent(fs, folder))
        throw COperationError(
            folder, "holds a disk whose header cannot be read: " + COperationError::describe(e));
    }
  }
  return existing;
}

// The sizes and algorithms that a re-encrypted record keeps.
bool sameLayout(const CFleckDiskHeader& a, const CFleckDiskHeader& b) {
  return a.getFleckSize() == b.getFleckSize() && a.getDiskSize() == b.getDiskSize() &&
         a.getPayloadBlockSize() == b.getPayloadBlockSize() &&
         a.getCompressID() == b.getCompressID() && a.getCheckSumHashID() == b.getCheckSumHashID();
}

void refuseUnfinished(zel::IFileSystem* fs, const zel::CURI& folder) {
  if (CFleckDiskMark::isPresent(fs, folder)) {
    throw COperationError(folder,
                          "an interrupted operation left this disk unfinished: run it "
                          "again to finish before copying the disk");
  }
}

}  // namespace

bool CCopyPlan::sameHeader(const CFleckDiskHeader& a, const CFleckDiskHeader& b) {
  return sameLayout(a, b) && a.getVersion() == b.getVersion() &&
         a.getMinReaderVersion() == b.getMinReaderVersion() &&
         a.getMinWriterVersion() == b.getMinWriterVersion() &&
         a.getCryptoHashID() == b.getCryptoHashID() && a.getCipherID() == b.getCipherID() &&
         a.getCipherKeyHash() == b.getCipherKeyHash() &&
         a.getCipherKeyDeriverID() == b.getCipherKeyDeriverID() &&
         a.getCipherKeyDerivationSalt() == b.getCipherKeyDerivationSalt() &&
         a.getCipherKeyDerivationIterations() == b.getCipherKeyDerivationIterations();
}

CCopyPlan CCopyPlan::make(zel::P<zel::IFileSystem> fs, const zel::CURI& source,
                          const zel::CURI& destination, const Options& options,
                          IPasswordSource& passwords) {
  CDiskAccess access(fs);
  CCopyPlan plan;
  plan.reencrypt = options.reencrypt;
  plan.dropZeroRecords = !options.chain;
  plan.sourceHeader = access.loadHeader(source);
  access.checkParents(source);

  // The source disks: the chain, live disk first; or the one disk.
  const std::vector<zel::CURI> parents = access.parentsOf(source);
  std::vector<zel::CURI> chain;
  if (options.chain) {
    chain.assign(parents.rbegin(), parents.rend());
    chain.push_back(source);
    for (const zel::CURI& child : access.childrenOf(source))
      chain.push_back(child);
  } else {
    chain.push_back(source);
  }
  // Every folder the copy reads from: a single copy reads through the parents.
  std::vector<zel::CURI> read = chain;
  if (!options.chain) read.insert(read.end(), parents.begin(), parents.end());
  std::vector<CFleckDiskHeader> headers;
  for (const zel::CURI& folder : read) {
    refuseUnfinished(fs.get(), folder);
    headers.push_back(access.loadHeader(folder));
  }

  // Destination folders: one subfolder per disk of a chain, named as its source.
  std::vector<zel::CURI> targets;
  if (options.chain) {
    std::set<zel::String> names;
    for (const zel::CURI& folder : chain) {
      const zel::String base = folder.getName().empty() ? zel::String("disk") : folder.getName();
      zel::String name = base;
      for (int n = 2; !names.insert(name).second; ++n)
        name = base + zel::String("-") + zel::String::fromInt64(n);
      targets.push_back(destination << name);
    }
  } else {
    targets.push_back(destination);
  }
  for (const zel::CURI& from : read) {
    for (const zel::CURI& to : targets) {
      if (isWithin(to, from) || isWithin(from, to)) {
        throw COperationError(
            to, to == from ? "the copy would be the source itself"
                : isWithin(to, from)
                    ? "the copy would lie inside the source " + CDiskAccess::show(from)
                    : "the copy would hold the source " + CDiskAccess::show(from));
      }
    }
  }

  // The source key, to decrypt records that are encrypted again; the chain shares it.
  if (options.reencrypt) {
    if (plan.sourceHeader.getCipherID() != L"null") {
      const zel::String password = passwords.forDisk(plan.sourceHeader, source);
      if (!CFleckDisk::isEncryptPasswordCorrect(plan.sourceHeader, password, &plan.sourceKey))
        throw COperationError(source, "wrong password");
    }
    for (std::size_t i = 0; i < read.size(); ++i) {
      if (!sameLayout(headers[i], plan.sourceHeader) ||
          headers[i].getCipherID() != plan.sourceHeader.getCipherID() ||
          !CFleckDisk::isCipherKeyCorrect(headers[i], plan.sourceKey)) {
        throw COperationError(read[i], "its key, sizes or compressor differ from " +
                                           CDiskAccess::show(source) + "'s");
      }
    }
  }

  // What the destination holds; with re-encryption a disk of an earlier copy (that the
  // new password opens) gives its header to all, so that its files stay valid.
  std::vector<Existing> existing;
  const CFleckDiskHeader* earlier = nullptr;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    existing.push_back(inspect(fs.get(), targets[i]));
  }
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const Existing& there = existing[i];
    if (!there.headerLoaded) continue;
    if (!options.reencrypt) {
      if (!sameHeader(there.loaded, headers[i])) {
        throw COperationError(targets[i],
                              "holds a disk with another header (other key, salt or "
                              "sizes) than " +
                                  CDiskAccess::show(chain[i]) + ": copy into a new folder");
      }
      continue;
    }
    zel::TCryptBuffer<unsigned char> key;
    if (!CFleckDisk::isEncryptPasswordCorrect(there.loaded, options.newPassword, &key) ||
        !sameLayout(there.loaded, plan.sourceHeader) ||
        (earlier != nullptr && !sameHeader(there.loaded, *earlier))) {
      throw COperationError(targets[i],
                            "holds a disk that is no earlier copy with this new "
                            "password: copy into a new folder");
    }
    if (earlier == nullptr) {
      earlier = &there.loaded;
      plan.destinationKey = key;
    }
  }
  CFleckDiskHeader newHeader = plan.sourceHeader;
  if (options.reencrypt) {
    if (earlier != nullptr)
      newHeader = *earlier;
    else
      CFleckDisk::setNewPassword(newHeader, options.newPassword, plan.destinationKey);
  }

  // On object stores every size would be a request of its own: the workers learn them.
  CFleckTree tree(fs, plan.sourceHeader);
  tree.setWithSizes(source.getScheme().empty());
  CFleckTree targetTree(fs, plan.sourceHeader);
  targetTree.setWithSizes(destination.getScheme().empty());
  if (!source.getScheme().empty()) plan.sourceBytes = -1;
  for (std::size_t i = 0; i < chain.size(); ++i) {
    Disk disk;
    disk.source = chain[i];
    disk.destination = targets[i];
    disk.header = options.reencrypt ? newHeader : headers[i];
    if (options.chain) {
      if (i > 0) disk.parentLink = targets[i - 1].toRelative(targets[i]);
      // A detached child names its parent, which does not name it back: nor will the copy.
      const std::vector<zel::CURI> children =
          i + 1 < chain.size() ? access.childrenOf(chain[i]) : std::vector<zel::CURI>();
      if (!children.empty() && children.front() == chain[i + 1])
        disk.childLink = targets[i + 1].toRelative(targets[i]);
    }

    // The file each fleck is read from: the disk's own; for a single copy the nearest
    // folder's that has it.
    std::map<std::int64_t, CFleckTree::Entry> sources;
    const std::size_t readers = options.chain ? 1 : read.size();
    for (std::size_t r = 0; r < readers; ++r) {
      for (CFleckTree::Entry& entry : tree.list(options.chain ? chain[i] : read[r], nullptr))
        sources.emplace(entry.index, std::move(entry));
    }
    std::map<std::int64_t, std::int64_t> held;
    if (existing[i].folder) {
      for (const CFleckTree::Entry& entry : targetTree.list(targets[i], nullptr)) {
        if (sources.count(entry.index) == 0)
          plan.stale.push_back(entry.file);
        else
          held[entry.index] = entry.size;
      }
    }
    // A re-encrypted file is trusted only when its disk's header is the copy's.
    const bool trusted = !options.reencrypt ||
                         (existing[i].headerLoaded && sameHeader(existing[i].loaded, newHeader));
    for (const auto& [index, entry] : sources) {
      File file;
      file.source = entry.file;
      file.sourceSize = entry.size;
      file.destination = tree.fileOf(targets[i], index);
      const auto there = held.find(index);
      file.destinationHeld = trusted && there != held.end();
      file.destinationSize = file.destinationHeld ? there->second : -1;
      file.destinationExists = there != held.end();
      if (plan.sourceBytes >= 0) plan.sourceBytes += entry.size;
      plan.files.push_back(std::move(file));
    }
    plan.disks.push_back(std::move(disk));
  }
  return plan;
}

}  // namespace fleck::ops
