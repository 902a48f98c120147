#include "CCommand.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <thread>

#include "s3/CSchemeFileSystem.h"

namespace fleck::cli {

bool CCommand::isSelected() const {
  return command != nullptr && command->parsed();
}

void CCommand::addPasswordOption() {
  command
      ->add_option("--password-file", passwordFile,
                   "Read the password from the first line of FILE (else from the environment "
                   "variable FLECK_PASSWORD, else it is asked for on the terminal)")
      ->type_name("FILE");
}

void CCommand::addProgressOptions() {
  command
      ->add_option("--progress", progressOption,
                   "Progress on standard error: auto (a line redrawn in place when standard "
                   "error is a terminal), line, plain (a line every 5 seconds, for logs), none")
      ->check(CLI::IsMember({"auto", "line", "plain", "none"}))
      ->capture_default_str()
      ->type_name("MODE");
  command->add_flag("-q,--quiet", quiet, "No progress and no summary");
}

void CCommand::addThreadsOption(const std::string& what) {
  threads = defaultThreads();
  threadsOption =
      command->add_option("-t,--threads", threads, what + " (default: the number of cores)")
          ->check(CLI::Range(1, 256))
          ->type_name("N");
}

int CCommand::readThreadsFor(const zel::CURI& location) const {
  // Reads from object storage wait for a request each: more of them in flight keep the
  // cores busy, at one fleck buffer per thread.
  constexpr int kObjectStoreReadThreads = 8;
  if (threadsOption != nullptr && threadsOption->count() > 0) return threads;
  if (location.getScheme() == L"s3") return std::max(threads, kObjectStoreReadThreads);
  return threads;
}

int CCommand::defaultThreads() {
  return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

zel::P<zel::IFileSystem> CCommand::makeFileSystem(int completionThreads) {
  // Stores are not synced one by one; an import syncs the file system once at its end.
  // s3:// locations go to an S3 file system, made when first needed.
  return s3::CSchemeFileSystem::make(completionThreads, /*durable=*/false);
}

}  // namespace fleck::cli
