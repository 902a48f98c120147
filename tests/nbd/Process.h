#pragma once

#include <string>
#include <utility>
#include <vector>

#include "support/CChildProcess.h"

namespace fleck::nbdtest {

// What a finished program gave: its exit status (128 + the signal when it was killed)
// and everything it wrote.
struct ProcessResult {
  int status = -1;
  std::string out;
  std::string err;
};

// A program run by the tests, in a new session (no terminal to prompt on), with
// standard input from /dev/null and its output in files. The environment is the test's
// without FLECK_PASSWORD, LD_PRELOAD and the sanitizers' options, plus `environment`.
class Process {
 public:
  using Environment = std::vector<std::pair<std::string, std::string>>;

  // Starts `argv` (argv[0] looked up in PATH), writing to outFile and errFile.
  Process(const std::vector<std::string>& argv, const Environment& environment, std::string outFile,
          std::string errFile);
  // Kills the program (SIGKILL) when it still runs, and waits for it.
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Runs `argv` to its end.
  static ProcessResult run(const std::vector<std::string>& argv, const std::string& scratch,
                           const Environment& environment = Environment());
  // True when `program` is found in PATH.
  static bool isInstalled(const std::string& program);

  // Sends `signal` (no effect once the program has ended).
  void kill(int signal);
  // True when the program has ended (then its result is in `result`).
  bool hasEnded();
  // Sends `signal` and waits for the end.
  ProcessResult stop(int signal);
  // Waits for the end.
  ProcessResult wait();
  // What the program has written to standard output so far.
  std::string output() const;
  std::string errors() const;

 private:
  ProcessResult finish(int status);

  std::string outFile;
  std::string errFile;
  fleck::test::CChildProcess child;  // after the file names it writes to
  bool ended = false;
  ProcessResult result;
};

}  // namespace fleck::nbdtest
