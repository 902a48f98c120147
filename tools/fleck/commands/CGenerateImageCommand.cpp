#include "CGenerateImageCommand.h"

#include <CLI/CLI.hpp>
#include <cstdio>

#include "CCliError.h"
#include "CImageGenerator.h"
#include "CSha256.h"
#include "CSizes.h"
#include "fleck/ops/COutputFile.h"
#include "zel/TBuffer.h"

namespace fleck::cli {

void CGenerateImageCommand::attach(CLI::App& app) {
  // An empty group hides the sub-command from the help: it serves benchmarks and tests.
  command =
      app.add_subcommand("generate-image", "Write the demo's generated disk image")->group("");
  command->add_option("SIZE", size, "The image's size")->required();
  command->add_option("OUT", output, "The output file, or - for standard output")->required();
  command->add_option("--seed", seed, "The generator's seed")->capture_default_str();
  command
      ->add_option("--generation", generation,
                   "0: the image; 1, 2, ...: the same image after some changes")
      ->capture_default_str();
}

int CGenerateImageCommand::run() {
  const std::int64_t bytes = CSizes::parse(size, "SIZE");
  if (bytes < 0) throw CCliError::usage("SIZE: must not be negative");
  CImageGenerator generator(bytes, seed, generation);
  ops::COutputFile out(output, /*allowSparse=*/false);
  CSha256 digest;
  zel::TBuffer<unsigned char> buffer;
  buffer.setUsed(1 << 20);
  while (true) {
    const std::size_t got = generator.read(buffer.getData(), buffer.getUsed());
    if (got == 0) break;
    out.write(buffer.getData(), got);
    digest.update(buffer.getData(), got);
  }
  out.finish();
  std::fprintf(stderr, "generated %s (%lld bytes, seed %llu, generation %d), sha256 %s\n",
               out.describe().c_str(), static_cast<long long>(bytes),
               static_cast<unsigned long long>(seed), generation, digest.finishHex().c_str());
  return kExitOk;
}

}  // namespace fleck::cli
