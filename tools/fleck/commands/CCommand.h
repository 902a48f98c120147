#pragma once

#include <string>

#include <nlohmann/json_fwd.hpp>

#include "CCommandLine.h"
#include "CPasswordSource.h"
#include "CProgress.h"
#include "zel/CURI.h"
#include "zel/IFileSystem.h"
#include "zel/P.h"

namespace fleck::cli {

// A sub-command of the tool: adds itself (name, options, help with examples) to the
// command-line parser, and runs when it was the one given. The options the
// sub-commands share (the password file, progress, threads) are set up here.
//
// Used by the main thread only.
class CCommand {
 public:
  CCommand() = default;
  virtual ~CCommand() = default;
  CCommand(const CCommand&) = delete;
  CCommand& operator=(const CCommand&) = delete;

  // Adds the sub-command to `commandLine`.
  virtual void attach(CCommandLine& commandLine) = 0;
  // Runs the parsed sub-command and returns the exit status; failures are thrown as
  // CCliError (or any other error, which the caller reports with status 1).
  virtual int run() = 0;

  // True when the command line chose this sub-command.
  bool isSelected() const;

 protected:
  // --password-file FILE
  void addPasswordOption();
  // --progress MODE and --quiet
  void addProgressOptions();
  // --threads N (default: the number of cores)
  void addThreadsOption(const std::string& what);
  // The threads that read flecks of the disk at `location`: --threads when given, else
  // the default, raised to 8 for an s3:// location, where a read
  // thread mostly waits for the network.
  int readThreadsFor(const zel::CURI& location) const;

  CProgress::Mode progressMode() const { return CProgress::chooseMode(progressOption, quiet); }
  // The local file system, and S3 for s3:// locations; completionThreads run the
  // background stores.
  static zel::P<zel::IFileSystem> makeFileSystem(int completionThreads);
  static int defaultThreads();
  // Prints `out` on standard output, indented, with a newline. A path need not be valid
  // UTF-8: such bytes become U+FFFD instead of an exception.
  static void printJson(const nlohmann::ordered_json& out);

  CCommandLine* command = nullptr;
  CPasswordSource passwords;
  std::string passwordFile;
  std::string progressOption = "auto";
  bool quiet = false;
  int threads = 1;
  CCommandLine::COption threadsOption;
};

}  // namespace fleck::cli
