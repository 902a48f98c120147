#pragma once

#include <cstdint>
#include <string>

#include "CCommand.h"

namespace fleck::cli {

// fleck generate-image SIZE OUT [--seed N] [--generation N] (hidden): writes the
// demo's generated image (CImageGenerator), every byte, for benchmarks and tests.
class CGenerateImageCommand final : public CCommand {
 public:
  void attach(CCommandLine& commandLine) override;
  int run() override;

 private:
  std::string size;
  std::string output;
  std::uint64_t seed = 1;
  int generation = 0;
};

}  // namespace fleck::cli
