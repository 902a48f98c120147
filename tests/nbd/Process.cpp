#include "Process.h"

#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "support/TempFolder.h"

namespace fleck::nbdtest {

namespace {

fleck::test::CChildProcess::Options childOptions(const Process::Environment& environment,
                                             const std::string& outFile,
                                             const std::string& errFile) {
  fleck::test::CChildProcess::Options options;
  options.stdoutFile = outFile;
  options.stderrFile = errFile;
  options.environment = environment;
  // Only the sanitizer settings a test gives reach nbdkit and the clients.
  options.unset = {"LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"};
  options.searchPath = true;
  return options;
}

}  // namespace

Process::Process(const std::vector<std::string>& argv, const Environment& environment,
                 std::string outFile, std::string errFile)
    : outFile(std::move(outFile)),
      errFile(std::move(errFile)),
      child(argv, childOptions(environment, this->outFile, this->errFile)) {}

Process::~Process() = default;

ProcessResult Process::finish(int status) {
  ended = true;
  result.status = status;
  result.out = output();
  result.err = errors();
  return result;
}

void Process::kill(int signal) {
  child.kill(signal);
}

bool Process::hasEnded() {
  if (!ended && !child.running()) finish(child.wait());
  return ended;
}

ProcessResult Process::wait() {
  if (ended) return result;
  return finish(child.wait());
}

ProcessResult Process::stop(int signal) {
  child.kill(signal);
  return wait();
}

std::string Process::output() const {
  return fleck::test::readFile(outFile);
}

std::string Process::errors() const {
  return fleck::test::readFile(errFile);
}

ProcessResult Process::run(const std::vector<std::string>& argv, const std::string& scratch,
                           const Environment& environment) {
  Process process(argv, environment, scratch + "/.stdout", scratch + "/.stderr");
  return process.wait();
}

bool Process::isInstalled(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (!folder.empty() && ::access((folder + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

}  // namespace fleck::nbdtest
