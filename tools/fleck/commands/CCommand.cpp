#include "CCommand.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <thread>

#include "s3/CSchemeFileSystem.h"

namespace fleck::cli {

bool CCommand::isSelected() const {
  return command != nullptr && command->wasSelected();
}

void CCommand::addPasswordOption() {
  command
      ->addOption("--password-file", passwordFile,
                  "Read the password from the first line of FILE (else from the environment "
                  "variable FLECK_PASSWORD, else it is asked for on the terminal)")
      .typeName("FILE");
}

void CCommand::addProgressOptions() {
  command
      ->addOption("--progress", progressOption,
                  "Progress on standard error: auto (a line redrawn in place when standard "
                  "error is a terminal), line, plain (a line every 5 seconds, for logs), none")
      .allowedWords({"auto", "line", "plain", "none"})
      .showDefault()
      .typeName("MODE");
  command->addFlag("-q,--quiet", quiet, "No progress and no summary");
}

void CCommand::addThreadsOption(const std::string& what) {
  threads = defaultThreads();
  threadsOption =
      command->addOption("-t,--threads", threads, what + " (default: the number of cores)")
          .range(1, 256)
          .typeName("N");
}

int CCommand::readThreadsFor(const zel::CURI& location) const {
  // Reads from object storage wait for a request each: more of them in flight keep the
  // cores busy, at one fleck buffer per thread.
  constexpr int kObjectStoreReadThreads = 8;
  if (threadsOption.wasGiven()) return threads;
  if (location.getScheme() == L"s3") return std::max(threads, kObjectStoreReadThreads);
  return threads;
}

void CCommand::printJson(const nlohmann::ordered_json& out) {
  const std::string text =
      out.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
  std::fputs(text.c_str(), stdout);
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
