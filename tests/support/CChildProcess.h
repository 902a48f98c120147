#pragma once

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace fleck::test {

// A program started by a test (posix_spawn: never a fork of the test's threads) in a new
// session and process group, with no terminal to prompt on; std::runtime_error when it
// cannot be started. Input from `stdinFile`, output and errors to files (empty:
// /dev/null). FLECK_PASSWORD and the names in `unset` leave the inherited environment,
// `environment` is added. The destructor kills a child that still runs.
class CChildProcess {
 public:
  struct Options {
    std::string stdinFile, stdoutFile, stderrFile;
    std::vector<std::pair<std::string, std::string>> environment;
    std::vector<std::string> unset;
    bool searchPath = true;  // look arguments[0] up in PATH when it has no slash
  };

  CChildProcess(const std::vector<std::string>& arguments, const Options& options);
  ~CChildProcess() {
    kill(SIGKILL);
    wait();
  }
  CChildProcess(const CChildProcess&) = delete;
  CChildProcess& operator=(const CChildProcess&) = delete;

  void kill(int signal) {  // no effect once the child has been reaped
    if (pid > 0) ::kill(pid, signal);
  }
  // The exit status, or 128 + the signal that ended it. A child still running after
  // timeoutMs (when >= 0) is killed with SIGKILL, and timedOut() says so.
  int wait(int timeoutMs = -1);
  bool timedOut() const { return timeout; }
  bool running();
  pid_t id() const { return pid; }  // also its process group's; -1 once reaped

 private:
  pid_t pid = -1;
  int status = -1;
  bool timeout = false;
};

// A program run to its end (killed after timeoutMs unless < 0), its output and errors
// captured in files of `scratchFolder`.
struct ProgramResult {
  int status = -1;
  bool timedOut = false;
  std::string out, err;
};
ProgramResult runProgram(const std::vector<std::string>& arguments,
                         const std::string& scratchFolder, CChildProcess::Options options,
                         int timeoutMs);
inline ProgramResult runProgram(
    const std::vector<std::string>& arguments, const std::string& scratchFolder,
    const std::vector<std::pair<std::string, std::string>>& environment = {},
    int timeoutMs = 120000) {
  CChildProcess::Options options;
  options.environment = environment;
  return runProgram(arguments, scratchFolder, options, timeoutMs);
}

}  // namespace fleck::test
