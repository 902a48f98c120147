// The writer that the crash tests kill: runs the write script of a seed against a disk
// and kills itself (SIGKILL) where the test asks. With "flush" that is as soon as the
// flush after step KILLAT or a later one has returned, the moment when a store that
// only seemed done would be lost; with "step" it is PAUSE microseconds after step KILLAT
// started, while it writes or stores, and the writer goes no further than that step.
// Exit status 2 when a store failed, 1 for any other error, 3 when it was not killed.
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
    const zel::CURI folder = zel::CURI::fromLocalPath(argv[1]);
    const fleck::test::CWriteScript script(std::stoull(argv[2]), std::stoi(argv[3]));
    const zel::String password = zel::String::fromUTF8(argv[4]);
    const int killAt = std::stoi(argv[5]);
    const bool afterFlush = std::string(argv[6]) == "flush";
    const auto pause = std::chrono::microseconds(std::stoi(argv[7]));
    const auto open = [&] {
      return std::make_unique<fleck::CFleckDisk>(fs, folder, password,
                                                 zel::IIOStream::AccessReadWrite, 3);
    };
    auto disk = open();
    for (int i = 0; i < script.size(); ++i) {
      const auto& step = script.step(i);
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
        if (step.reopenAfter) {
          disk.reset();
          disk = open();
        }
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
