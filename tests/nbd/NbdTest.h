#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Process.h"
#include "support/TempFolder.h"

namespace fleck::nbdtest {

// The base of the NBD tests: a temporary folder, the built `fleck` tool, nbdkit with
// the built plugin on a Unix socket in that folder, and the real NBD clients (qemu-img,
// qemu-io, nbdcopy, nbdinfo). A missing client fails every test loudly: install them
// with scripts/install-deps.sh.
class NbdTest : public ::testing::Test {
 protected:
  void SetUp() override;

  std::string path(const std::string& name) const { return root.path() + "/" + name; }
  // Runs `fleck ARGS...` and expects it to succeed (unless `mayFail`).
  ProcessResult fleck(const std::vector<std::string>& arguments,
                      const Process::Environment& environment = {}, bool mayFail = false) const;
  // Runs a client program.
  ProcessResult client(const std::vector<std::string>& argv) const;

  // Starts nbdkit with the plugin and `parameters` (disk=... and so on) on the socket
  // `socketName` in the test folder, and waits until it listens; nullptr (with the
  // result in `failed`) when it ends instead.
  std::unique_ptr<Process> startServer(const std::vector<std::string>& parameters,
                                       const Process::Environment& environment,
                                       ProcessResult* failed = nullptr,
                                       const std::string& socketName = "nbd.sock");
  // Stops nbdkit (SIGTERM) and expects a clean end without a sanitizer's report.
  void stopServer(Process& server) const;
  std::string uri(const std::string& socketName = "nbd.sock") const;

  // Runs `fleck serve ARGUMENTS... --socket serve.sock` with the built plugin and
  // waits until it prints that socket's URI; nullptr (a failure) when it prints anything
  // else or ends.
  std::unique_ptr<Process> serve(const std::vector<std::string>& arguments);
  // Stops it (SIGINT) and expects a clean end without a sanitizer's report.
  void stopServe(Process& serve) const;

  // What lets nbdkit, which is not instrumented, load a plugin built with a sanitizer:
  // the sanitizer's runtime preloaded, and options for the nbdkit process.
  static Process::Environment serverEnvironment();

  // True when nbdkit runs with a sanitizer's runtime preloaded.
  static bool isSanitized();
  // Kills (SIGKILL) the nbdkit that listens on `socketPath`, found by its command line.
  static void killNbdkitServing(const std::string& socketPath);

  // A deterministic image of `size` bytes (a multiple of 4 KiB): regions of zeros,
  // random bytes and repeated text.
  static std::string makeImage(std::int64_t size, std::uint64_t seed);
  // Fleck files below a disk folder.
  int fleckFileCount(const std::string& disk) const;

  fleck::test::TempFolder root;
};

}  // namespace fleck::nbdtest
