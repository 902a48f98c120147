// fleck: the command-line tool over the fleck library. Each sub-command is a CCommand;
// this file builds the parser, runs the chosen one and turns failures into one line on
// standard error and an exit status (1 failure, 2 usage, 3 damage found by verify).
#include <cstdio>
#include <memory>
#include <vector>

#include "CCliError.h"
#include "CCommandLine.h"
#include "commands/CChainCommand.h"
#include "commands/CCheckPasswordCommand.h"
#include "commands/CChildCommand.h"
#include "commands/CCopyCommand.h"
#include "commands/CCreateCommand.h"
#include "commands/CDemoCommand.h"
#include "commands/CDiffCommand.h"
#include "commands/CExportCommand.h"
#include "commands/CGenerateImageCommand.h"
#include "commands/CImportCommand.h"
#include "commands/CInfoCommand.h"
#include "commands/CRemoveCommand.h"
#include "commands/CServeCommand.h"
#include "commands/CUnlockCommand.h"
#include "commands/CVerifyCommand.h"
#include "fleck/Version.h"
#include "zel/Log.h"

namespace {

using fleck::cli::CCliError;

int runTool(int argc, char** argv) {
  fleck::cli::CCommandLine commandLine{
      "fleck keeps a virtual disk as a folder of many small files (flecks), compressed and\n"
      "optionally encrypted; child disks keep snapshots of their parents.",
      "fleck"};
  commandLine.requireSubcommand();
  // Options of the tool itself may follow the sub-command's name.
  commandLine.allowOptionsAfterSubcommand();
  commandLine.setVersion("fleck " + fleck::getLibraryVersion().toUTF8());
  bool verbose = false;
  commandLine.addFlag("-v,--verbose", verbose,
                      "Also show the library's log lines on standard error");
  commandLine.setFooter(
      "Passwords are never taken from the command line: --password-file FILE, the environment\n"
      "variable FLECK_PASSWORD, or a prompt on the terminal. Sizes take K, M, G, T (or KiB,\n"
      "MiB, GiB, TiB) suffixes, powers of 1024.\n"
      "Exit status: 0 success, 1 failure, 2 usage error, 3 damage found by verify.\n\n"
      "Examples:\n"
      "  fleck create /backup/pc --size 500G --encrypt\n"
      "  fleck import /backup/pc /dev/sda --incremental\n"
      "  fleck child /backup/pc-monday --parent /backup/pc\n"
      "  fleck export /backup/pc-monday restored.img\n"
      "  fleck verify /backup/pc --chain\n"
      "  fleck diff /backup/pc-monday /backup/pc\n"
      "  fleck serve /backup/pc --readonly\n"
      "  fleck demo\n\n"
      "Run fleck SUB-COMMAND --help for the options of each.");

  std::vector<std::unique_ptr<fleck::cli::CCommand>> commands;
  commands.push_back(std::make_unique<fleck::cli::CCreateCommand>());
  commands.push_back(std::make_unique<fleck::cli::CChildCommand>());
  commands.push_back(std::make_unique<fleck::cli::CInfoCommand>());
  commands.push_back(std::make_unique<fleck::cli::CChainCommand>());
  commands.push_back(std::make_unique<fleck::cli::CRemoveCommand>());
  commands.push_back(std::make_unique<fleck::cli::CDiffCommand>());
  commands.push_back(std::make_unique<fleck::cli::CImportCommand>());
  commands.push_back(std::make_unique<fleck::cli::CExportCommand>());
  commands.push_back(std::make_unique<fleck::cli::CVerifyCommand>());
  commands.push_back(std::make_unique<fleck::cli::CCopyCommand>());
  commands.push_back(std::make_unique<fleck::cli::CCheckPasswordCommand>());
  commands.push_back(std::make_unique<fleck::cli::CServeCommand>());
  commands.push_back(std::make_unique<fleck::cli::CUnlockCommand>());
  commands.push_back(std::make_unique<fleck::cli::CDemoCommand>());
  commands.push_back(std::make_unique<fleck::cli::CGenerateImageCommand>());
  for (auto& command : commands)
    command->attach(commandLine);

  // Help, the version and a wrong command line end here.
  if (const auto status = commandLine.parse(argc, argv)) return *status;

  // The library logs the failures it hands on (a background store, a fleck it could
  // not read); the tool reports each of them itself, in one line.
  if (!verbose) {
    zel::setLogSink([](const zel::String&, const std::exception&, const zel::String&) {});
  }

  for (auto& command : commands) {
    if (command->isSelected()) return command->run();
  }
  return fleck::cli::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return runTool(argc, argv);
  } catch (const CCliError& e) {
    std::fprintf(stderr, "fleck: %s\n", e.getMessage().toUTF8().c_str());
    return e.getExitStatus();
  } catch (const fleck::ops::COperationError& e) {
    const CCliError failure = CCliError::from(e);
    std::fprintf(stderr, "fleck: %s\n", failure.getMessage().toUTF8().c_str());
    return failure.getExitStatus();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fleck: %s\n", CCliError::describe(e).c_str());
    return fleck::cli::kExitFailure;
  }
}
