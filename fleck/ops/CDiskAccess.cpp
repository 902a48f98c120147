#include "fleck/ops/CDiskAccess.h"

#include <set>

#include "fleck/CFleckDiskError.h"
#include "fleck/CFleckDiskLink.h"
#include "fleck/ops/CMetadataChecker.h"
#include "zel/CFileSystemError.h"

namespace fleck::ops {

namespace {

COperationError failure(const zel::CURI& folder, const std::string& what) {
  return COperationError(folder, what);
}

}  // namespace

CDiskAccess::CDiskAccess(zel::P<zel::IFileSystem> fs) : fs(std::move(fs)) {}

zel::CURI CDiskAccess::folderOf(const std::string& path) {
  // An object-store location is taken as written; anything else is a local path.
  if (path.starts_with("s3://")) return zel::CURI(zel::String::fromUTF8(path)).toNormalized();
  return zel::CURI::fromLocalPath(path).toNormalized();
}

std::string CDiskAccess::show(const zel::CURI& folder) {
  return COperationError::show(folder);
}

CFleckDiskHeader CDiskAccess::loadHeader(const zel::CURI& folder) const {
  if (!fs->folderExists(folder)) {
    throw failure(folder, fs->exists(folder) ? "not a folder" : "no such folder");
  }
  CFleckDiskHeader header;
  try {
    header.load(fs, folder);
    return header;
  } catch (const CFleckDiskError& e) {
    if (e.getCode() == CFleckDiskError::NewerVersionRequired) {
      // The loader stops right after the reader version, which it has assigned.
      throw failure(
          folder,
          "a newer version of fleck is required to read this disk (it needs reader version " +
              std::to_string(header.getMinReaderVersion()) + ", this is version " +
              std::to_string(CFleckDisk::getImplementationVersion()) + ")");
    }
    throw failure(folder, COperationError::describe(e));
  } catch (const zel::CError& e) {
    const CMetadataChecker::File file =
        CMetadataChecker(fs).check(folder, CFleckDiskHeader::getHeaderURI(folder, 0).getName());
    if (file.isAbsent()) {
      throw failure(folder, "not a fleck disk (no " + file.name.toUTF8() + " in it)");
    }
    if (file.intactCopy() < 0) {
      throw failure(folder, "damaged header: " + show(file.copies[0].file) + " is " +
                                CMetadataChecker::describe(file.copies[0]) + ", " +
                                show(file.copies[1].file) + " is " +
                                CMetadataChecker::describe(file.copies[1]));
    }
    throw failure(folder, "damaged header (" + show(file.copies[file.intactCopy()].file) +
                              "): " + COperationError::describe(e));
  }
}

zel::P<CFleckDisk> CDiskAccess::open(const zel::CURI& folder, IPasswordSource& passwords,
                                     zel::IIOStream::Access access, int maxBackgroundOps) const {
  const CFleckDiskHeader header = loadHeader(folder);
  checkParents(folder);
  // A writer moves old flecks into its child: child links that run in a circle (back
  // into the disk itself) must not be written through.
  if (access == zel::IIOStream::AccessReadWrite) childrenOf(folder);
  const zel::String password = passwords.forDisk(header, folder);
  try {
    return zel::make<CFleckDisk>(fs, folder, password, access, maxBackgroundOps);
  } catch (const CFleckDiskError& e) {
    if (e.getCode() == CFleckDiskError::EncryptPasswordIncorrect) {
      if (header.getCipherID() == L"null") {
        throw failure(folder, "the disk is not encrypted, but a password was given (" +
                                  passwords.describeOrigin() + ")");
      }
      throw failure(folder, "wrong password");
    }
    if (e.getCode() == CFleckDiskError::InUseByAnotherWriter) throw inUse(e);
    if (e.getCode() == CFleckDiskError::Unfinished) throw unfinished(folder, e);
    if (e.getCode() == CFleckDiskError::NewerVersionRequired) {
      throw failure(
          folder,
          "a newer version of fleck is required to write this disk (it needs writer version " +
              std::to_string(header.getMinWriterVersion()) + ", this is version " +
              std::to_string(CFleckDisk::getImplementationVersion()) + ")");
    }
    throw failure(folder, COperationError::describe(e));
  } catch (const zel::CError& e) {
    throw failure(folder, "cannot open the disk: " + COperationError::describe(e));
  }
}

COperationError CDiskAccess::inUse(const CFleckDiskError& e) {
  const std::string holder = e.getHolder().toUTF8();
  const zel::String* stale = e.getProps().find("stale");
  std::string what = "in use by another writer";
  if (!holder.empty()) what += " (" + holder + ")";
  if (stale != nullptr && *stale == L"true") {
    what += "; its lock was not renewed for a long time: `fleck unlock` removes it";
  }
  return failure(e.getDiskFolder(), what);
}

COperationError CDiskAccess::unfinished(const zel::CURI& folder, const CFleckDiskError& e) {
  const zel::String* operation = e.getProps().find("operation");
  const std::string name = operation != nullptr ? operation->toUTF8() : std::string();
  if (name == "remove")
    return failure(
        folder,
        "an interrupted removal left this snapshot half removed: remove it again to finish");
  if (name == "copy")
    return failure(folder,
                   "an interrupted copy left this disk incomplete: copy it again to finish");
  return failure(folder, "an interrupted operation left this disk unfinished");
}

zel::CURI CDiskAccess::linkTarget(const zel::CURI& folder, const zel::String& name) const {
  CFleckDiskLink link;
  try {
    link.load(fs, folder, name);
  } catch (const zel::CFileSystemError& e) {
    if (e.getProblem() == zel::CFileSystemError::NotFound) return zel::CURI();
    throw failure(folder, "cannot read " + name.toUTF8() + ": " + COperationError::describe(e));
  } catch (const zel::CError& e) {
    throw failure(folder,
                  "damaged link file " + name.toUTF8() + ": " + COperationError::describe(e));
  }
  const zel::CURI target = link.getTargetURI();
  if (target.isEmpty()) return target;
  // Linked disks store relative links; a detached child may name its parent as given.
  return (target.isAbsolute() ? target : folder << target).toNormalized();
}

std::vector<zel::CURI> CDiskAccess::parentsOf(const zel::CURI& folder) const {
  std::vector<zel::CURI> parents;
  std::set<zel::CURI> seen{folder};
  for (zel::CURI current = folder;;) {
    const zel::CURI parent = linkTarget(current, CFleckDisk::getParentLinkFileName());
    if (parent.isEmpty()) break;
    if (!seen.insert(parent).second) throw failure(folder, "the parent links run in a circle");
    parents.push_back(parent);
    // A parent that is gone ends the chain, as it does for the core.
    if (!fs->folderExists(parent)) break;
    current = parent;
  }
  return parents;
}

void CDiskAccess::checkParents(const zel::CURI& folder) const {
  for (const zel::CURI& parent : parentsOf(folder)) {
    if (!fs->folderExists(parent))
      throw failure(folder, "its parent disk " + show(parent) + " is missing");
    try {
      loadHeader(parent);
    } catch (const COperationError& e) {
      throw failure(folder, "its parent disk is unusable: " + e.getLine());
    }
  }
}

std::vector<zel::CURI> CDiskAccess::childrenOf(const zel::CURI& folder) const {
  std::vector<zel::CURI> children;
  std::set<zel::CURI> seen{folder};
  for (zel::CURI current = folder;;) {
    const zel::CURI child = linkTarget(current, CFleckDisk::getChildLinkFileName());
    if (child.isEmpty() || !fs->folderExists(child)) break;
    if (!seen.insert(child).second) throw failure(folder, "the child links run in a circle");
    children.push_back(child);
    current = child;
  }
  return children;
}

}  // namespace fleck::ops
