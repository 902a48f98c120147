#include "CCheckPasswordCommand.h"

#include <cstdio>

#include "CCliError.h"
#include "fleck/CFleckDisk.h"
#include "fleck/ops/CDiskAccess.h"

namespace fleck::cli {

void CCheckPasswordCommand::attach(CCommandLine& commandLine) {
  command = &commandLine.addSubcommand("check-password", "Check whether a password opens a disk");
  command->addArgument("DIR", folder, "The disk's folder").required();
  addPasswordOption();
  command->setFooter(
      "Exit status 0 when the password is right (or the disk is not encrypted and none was\n"
      "given), 1 when it is wrong.\n\n"
      "Examples:\n"
      "  fleck check-password /backup/pc\n"
      "  fleck check-password /backup/pc --password-file ~/.fleck-password");
}

int CCheckPasswordCommand::run() {
  passwords.setPasswordFile(passwordFile);
  zel::P<zel::IFileSystem> fs = makeFileSystem(1);
  ops::CDiskAccess access(fs);
  const zel::CURI location = ops::CDiskAccess::folderOf(folder);
  const std::string shown = ops::CDiskAccess::show(location);
  const CFleckDiskHeader header = access.loadHeader(location);
  const bool encrypted = header.getCipherID() != L"null";
  if (!encrypted && !passwords.isGiven()) {
    std::printf("%s: not encrypted; no password is needed\n", shown.c_str());
    return kExitOk;
  }
  const zel::String password = passwords.forDisk(header, location);
  bool correct;
  try {
    correct = CFleckDisk::isEncryptPasswordCorrect(header, password, nullptr);
  } catch (const zel::CError& e) {
    throw CCliError::failure(
        zel::String::fromUTF8(shown + ": cannot check the password: " + CCliError::describe(e)));
  }
  if (!correct) {
    if (!encrypted) {
      throw CCliError::failure(
          zel::String::fromUTF8(shown + ": the disk is not encrypted, but a password was given (" +
                                passwords.describeOrigin() + ")"));
    }
    throw CCliError::failure(zel::String::fromUTF8(shown + ": wrong password"));
  }
  std::printf("%s: the password is correct\n", shown.c_str());
  return kExitOk;
}

}  // namespace fleck::cli
