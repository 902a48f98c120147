// Writes the seed corpora of the fuzz targets, valid inputs made with the library's own
// writers, to <folder>/<target>/ (default folder: fuzz/corpus), replacing files of the
// same name. Encrypted records get a random initialisation vector, so a rerun changes
// those files while keeping them valid.
#include <filesystem>
#include <fstream>
#include <iostream>

#include "FuzzTargets.h"

int main(int argc, char** argv) {
  const std::filesystem::path root = argc > 1 ? argv[1] : "fuzz/corpus";
  int count = 0;
  for (const auto& target : fleck::test::getFuzzTargets()) {
    std::filesystem::create_directories(root / target.name);
    for (const auto& [name, bytes] : target.makeSeeds()) {
      std::ofstream out(root / target.name / name, std::ios::binary | std::ios::trunc);
      if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())).flush()) {
        std::cerr << "fuzz-make-seeds: cannot write " << (root / target.name / name) << "\n";
        return 1;
      }
      ++count;
    }
  }
  std::cout << "wrote " << count << " seed files\n";
  return 0;
}
