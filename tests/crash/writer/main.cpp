// The writer that the crash tests kill: runs the write script of a seed against a disk
// and tells the test through descriptor 3 how far it got, one line per event:
// "B i" before step i starts, "F i" after the flush that follows step i has returned
// (so steps 0..i are stored), "E" at the end. Exit status 0 when the script ran to
// its end, 2 when a store failed, 1 for any other error.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "crash/CWriteScript.h"
#include "fleck/CFleckDisk.h"
#include "zel/CError.h"
#include "zel/CLocalFileSystem.h"

namespace {

void report(const std::string& line) {
  const std::string text = line + "\n";
  // A pipe write of a few bytes is atomic; a failure means the test is gone.
  if (::write(3, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::_Exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s DISK SEED STEPS PASSWORD\n", argv[0]);
    return 1;
  }
  try {
    zel::P<zel::IFileSystem> fs = zel::make<zel::CLocalFileSystem>();
    const zel::CURI folder = zel::CURI::fromLocalPath(argv[1]);
    const fleck::crashtest::CWriteScript script(std::stoull(argv[2]), std::stoi(argv[3]));
    const zel::String password = zel::String::fromUTF8(argv[4]);
    auto disk = std::make_unique<fleck::CFleckDisk>(fs, folder, password,
                                                    zel::IIOStream::AccessReadWrite, 3);
    for (int i = 0; i < script.size(); ++i) {
      const auto& step = script.step(i);
      report("B " + std::to_string(i));
      disk->seek(step.position);
      disk->write(step.bytes.data(), static_cast<int>(step.bytes.size()));
      if (!step.flushAfter) continue;
      disk->flushChanges();
      if (disk->haveBackgroundErrors()) return 2;
      report("F " + std::to_string(i));
      if (step.reopenAfter) {
        disk.reset();
        disk = std::make_unique<fleck::CFleckDisk>(fs, folder, password,
                                                   zel::IIOStream::AccessReadWrite, 3);
      }
    }
    disk->flushChanges();
    if (disk->haveBackgroundErrors()) return 2;
    report("F " + std::to_string(script.size() - 1));
    report("E");
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "writer: %s\n", e.what());
    return 1;
  }
}
