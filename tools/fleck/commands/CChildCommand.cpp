#include "CChildCommand.h"

#include <cstdio>

#include "CCliError.h"
#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskLink.h"
#include "fleck/ops/CDiskAccess.h"

namespace fleck::cli {

void CChildCommand::attach(CCommandLine& commandLine) {
  command = &commandLine.addSubcommand("child",
                                       "Make a child disk: it reads what it lacks from its parent");
  command
      ->addArgument("DIR", folder, "The child's folder (made when missing; must not hold a disk)")
      .required();
  command->addOption("-p,--parent", parent, "The parent disk's folder")
      .required()
      .typeName("PARENT");
  command->addFlag("-d,--detached", detached,
                   "Only link the child to its parent; the parent is not told. Without it the "
                   "child is linked: from then on the parent moves a fleck's old contents into "
                   "the child before overwriting it, so the child keeps a snapshot");
  command->setFooter(
      "Examples:\n"
      "  fleck child /backup/pc-monday --parent /backup/pc            (a snapshot of /backup/pc)\n"
      "  fleck child /scratch/pc-test --parent /backup/pc --detached  (a writable overlay)");
}

int CChildCommand::run() {
  zel::P<zel::IFileSystem> fs = makeFileSystem(1);
  ops::CDiskAccess access(fs);
  const zel::CURI childFolder = ops::CDiskAccess::folderOf(folder);
  const zel::CURI parentFolder = ops::CDiskAccess::folderOf(parent);
  // A clear message for a parent that is no disk or whose chain is broken (a damaged
  // link file, a link loop, a missing parent), before anything is made.
  access.loadHeader(parentFolder);
  access.checkParents(parentFolder);
  // A linked child is tied in behind the parent's present children: their links must
  // be readable and must not run in a circle.
  if (!detached) access.childrenOf(parentFolder);
  if (childFolder == parentFolder) {
    throw CCliError::usage("the child's folder and the parent's folder are the same");
  }
  try {
    if (detached) {
      CFleckDisk::createChild(fs, childFolder, parentFolder, CFleckDisk::ChildDetached);
      // The library stores a detached child's parent as given (absolute here) but can
      // open only relative parent links (it appends the link to the folder holding
      // it), so the link is rewritten relative to the child.
      CFleckDiskLink link;
      link.setTargetURI(parentFolder.toRelative(childFolder));
      link.store(fs, childFolder, CFleckDisk::getParentLinkFileName());
    } else {
      CFleckDisk::createChild(fs, childFolder, parentFolder, CFleckDisk::ChildLinked);
    }
  } catch (const CFleckDiskError& e) {
    if (e.getCode() == CFleckDiskError::InUseByAnotherWriter) throw ops::CDiskAccess::inUse(e);
    throw CCliError::failure(
        zel::String::fromUTF8(ops::CDiskAccess::show(childFolder) +
                              ": cannot create the child disk: " + CCliError::describe(e)));
  } catch (const zel::CError& e) {
    throw CCliError::failure(
        zel::String::fromUTF8(ops::CDiskAccess::show(childFolder) +
                              ": cannot create the child disk: " + CCliError::describe(e)));
  }
  std::printf("created %s child %s of %s\n", detached ? "detached" : "linked",
              ops::CDiskAccess::show(childFolder).c_str(),
              ops::CDiskAccess::show(parentFolder).c_str());
  return kExitOk;
}

}  // namespace fleck::cli
