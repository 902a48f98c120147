#pragma once

#include <string>

#include "CCommand.h"

namespace fleck::cli {

// fleck serve DIR: serves the disk over NBD until interrupted. Starts nbdkit with the
// fleck plugin (the one named by FLECK_NBDKIT_PLUGIN, else the installed `fleck`) on a
// Unix socket (in a new temporary folder unless --socket) or a loopback port, prints
// the NBD URI once nbdkit listens, and stops nbdkit on SIGINT or SIGTERM. The password
// reaches nbdkit as a file name or through the environment, never on its command line.
class CServeCommand final : public CCommand {
 public:
  void attach(CCommandLine& commandLine) override;
  int run() override;

 private:
  std::string folder;
  std::string socketPath;
  int port = 0;
  bool readOnly = false;
  bool writable = false;
};

}  // namespace fleck::cli
