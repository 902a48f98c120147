// The writer that the crash tests kill: runs the write script of SEED against a disk and
// kills itself (SIGKILL). With "flush" as soon as the flush after step KILLAT or a later
// one has returned, when a store that only seemed done would be lost; with "step" PAUSE
// microseconds after step KILLAT started, while it writes or stores, going no further.
// Exit status 2 when a store failed, 1 for other errors, 3 when it was not killed.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "crash/CWriteScript.h"
#include "fleck/CFleckDisk.h"
#include "zel/CLocalFileSystem.h"

int main(int argc, char** argv) {
  if (argc != 8) {
    std::fprintf(stderr, "usage: %s DISK SEED STEPS PASSWORD KILLAT step|flush PAUSE\n", argv[0]);
    return 1;
  }
  try {
    zel::P<zel::IFileSystem> fs = zel::make<zel::CLocalFileSystem>();
    const fleck::test::CWriteScript script(std::stoull(argv[2]), std::stoi(argv[3]));
    const int killAt = std::stoi(argv[5]);
    const bool afterFlush = std::string(argv[6]) == "flush";
    const auto pause = std::chrono::microseconds(std::stoi(argv[7]));
    const auto open = [&] {
      return std::make_unique<fleck::CFleckDisk>(fs, zel::CURI::fromLocalPath(argv[1]),
                                                 zel::String::fromUTF8(argv[4]),
                                                 zel::IIOStream::AccessReadWrite, 3);
    };
    auto disk = open();
    for (int i = 0; i < static_cast<int>(script.steps.size()); ++i) {
      const auto& step = script.steps[static_cast<std::size_t>(i)];
      const bool last = i == killAt && !afterFlush;
      if (last) {
        std::thread([pause] {
          std::this_thread::sleep_for(pause);
          ::kill(::getpid(), SIGKILL);
        }).detach();
      }
      disk->seek(step.position);
      disk->write(step.bytes.data(), static_cast<int>(step.bytes.size()));
      if (step.flushAfter) {
        disk->flushChanges();
        if (disk->haveBackgroundErrors()) return 2;
        if (afterFlush && i >= killAt) ::kill(::getpid(), SIGKILL);
        if (step.reopenAfter) disk.reset();
        if (step.reopenAfter) disk = open();
      }
      while (last)
        ::pause();
    }
    return 3;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "writer: %s\n", e.what());
    return 1;
  }
}
