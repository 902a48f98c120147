// Writes the seeds the library's own writers make to <folder>/<target>/ (default
// fuzz/corpus), replacing files of the same name; run after a format change. Encrypted
// records get a random initialisation vector, so a rerun changes them.
#include <filesystem>
#include <fstream>
#include <iostream>

#include "FuzzTargets.h"

int main(int argc, char** argv) {
  const std::filesystem::path root = argc > 1 ? argv[1] : "fuzz/corpus";
  for (const auto& target : fleck::test::getFuzzTargets()) {
    if (target.makeSeeds == nullptr) continue;
    std::filesystem::create_directories(root / target.name);
    for (const auto& [name, bytes] : target.makeSeeds()) {
      if (!std::ofstream(root / target.name / name, std::ios::binary)
               .write(bytes.data(), static_cast<std::streamsize>(bytes.size()))
               .flush()) {
        std::cerr << "fuzz-make-seeds: cannot write " << root / target.name / name << "\n";
        return 1;
      }
    }
  }
  return 0;
}
