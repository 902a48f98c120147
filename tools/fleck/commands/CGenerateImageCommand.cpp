#include "CGenerateImageCommand.h"

#include <cstdio>

#include "CCliError.h"
#include "CImageGenerator.h"
#include "CSha256.h"
#include "CSizes.h"
#include "fleck/ops/COutputFile.h"
#include "zel/TBuffer.h"

namespace fleck::cli {

void CGenerateImageCommand::attach(CCommandLine& commandLine) {
  command = &commandLine.addSubcommand("generate-image", "Write the demo's generated disk image");
  // It serves benchmarks and tests, not people.
  command->hideFromHelp();
  command->addArgument("SIZE", size, "The image's size").required();
  command->addArgument("OUT", output, "The output file, or - for standard output").required();
  command->addOption("--seed", seed, "The generator's seed").showDefault();
  command
      ->addOption("--generation", generation,
                  "0: the image; 1, 2, ...: the same image after some changes")
      .showDefault();
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
