// The writer that the crash tests kill: runs the write script of SEED against a disk (its
// password in FLECK_PASSWORD) and kills itself with SIGKILL: "flush" as soon as the flush
// after step KILLAT or a later one has returned, when a store that only seemed done would
// be lost; "step" PAUSE microseconds after step KILLAT started, while it writes or stores.
// Exit status 2 when a store failed, 1 when it was not killed (an exception aborts it).
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "crash/CWriteScript.h"
#include "fleck/CFleckDisk.h"
#include "zel/CLocalFileSystem.h"

int main(int argc, char** argv) {
  if (argc != 6) return std::fprintf(stderr, "%s DISK SEED KILLAT step|flush PAUSE\n", argv[0]);
  const fleck::test::CWriteScript script(std::stoull(argv[2]), 150);
  const int killAt = std::stoi(argv[3]);
  const bool afterFlush = std::string(argv[4]) == "flush";
  const auto pause = std::chrono::microseconds(std::stoi(argv[5]));
  const char* password = std::getenv("FLECK_PASSWORD");
  fleck::CFleckDisk disk(zel::make<zel::CLocalFileSystem>(), zel::CURI::fromLocalPath(argv[1]),
                         zel::String::fromUTF8(password != nullptr ? password : ""),
                         zel::IIOStream::AccessReadWrite, 3);
  for (int i = 0; i < 150; ++i) {
    const auto& step = script.steps[i];
    if (i == killAt && !afterFlush) {
      std::thread([pause] {
        std::this_thread::sleep_for(pause);
        ::kill(::getpid(), SIGKILL);
      }).detach();
    }
    disk.seek(step.position);
    disk.write(step.bytes.data(), static_cast<int>(step.bytes.size()));
    if (step.flushAfter) disk.flushChanges();
    if (disk.haveBackgroundErrors()) return 2;
    if (step.flushAfter && afterFlush && i >= killAt) ::kill(::getpid(), SIGKILL);
    while (i == killAt && !afterFlush)
      ::pause();  // no further than this step
  }
  return 1;
}
