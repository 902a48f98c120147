#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace fleck::test {

// A program started by a test in a process of its own (posix_spawn: never a fork of
// the test's threads), in a new session so that it has no terminal to prompt on.
// Standard input comes from `stdinFile` (else /dev/null); standard output and error go
// to files. `passFd`, when not -1, is handed to the child as its descriptor 3.
// FLECK_PASSWORD is removed from the inherited environment unless given in
// `environment`.
//
// One thread uses an object. The destructor kills a child that still runs and reaps it.
class CChildProcess {
 public:
  struct Options {
    std::string stdinFile;
    std::string stdoutFile;  // empty: /dev/null
    std::string stderrFile;  // empty: /dev/null
    std::vector<std::pair<std::string, std::string>> environment;
    std::vector<std::string> unset;
    int passFd = -1;
    bool searchPath = false;  // arguments[0] without a slash is looked up in PATH
  };

  // Starts `arguments[0]` (a path, or a name looked up in PATH with searchPath) with the
  // arguments; throws std::runtime_error when it cannot be started.
  CChildProcess(const std::vector<std::string>& arguments, const Options& options);
  ~CChildProcess();
  CChildProcess(const CChildProcess&) = delete;
  CChildProcess& operator=(const CChildProcess&) = delete;

  // Sends a signal (no effect once the child has been reaped).
  void kill(int signal);
  // Waits for the end; the exit status, or 128 + the signal that ended it. With
  // timeoutMs >= 0 a child still running after that long is killed with SIGKILL and
  // timedOut() says so.
  int wait(int timeoutMs = -1);
  bool timedOut() const { return timeout; }
  bool running();

 private:
  pid_t pid = -1;
  int status = -1;
  bool timeout = false;
};

// Runs a program to its end (at most timeoutMs, then it is killed) and returns what it
// did: the exit status, standard output and error (captured in files of
// `scratchFolder`), and whether it had to be killed.
struct ProgramResult {
  int status = -1;
  bool timedOut = false;
  std::string out;
  std::string err;
};
ProgramResult runProgram(const std::vector<std::string>& arguments,
                         const std::string& scratchFolder,
                         const std::vector<std::pair<std::string, std::string>>& environment = {},
                         int timeoutMs = 120000);
// The same with every option (its stdoutFile and stderrFile are replaced by the files of
// `scratchFolder`); timeoutMs < 0 waits as long as it takes.
ProgramResult runProgram(const std::vector<std::string>& arguments,
                         const std::string& scratchFolder, CChildProcess::Options options,
                         int timeoutMs);

}  // namespace fleck::test
