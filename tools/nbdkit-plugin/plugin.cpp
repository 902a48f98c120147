// nbdkit-fleck-plugin: serves a fleck disk over NBD.
//
//   nbdkit fleck disk=DIR [password-file=FILE] [readonly=true|false] [threads=N]
//
// The password comes from password-file (its first line) or the environment variable
// FLECK_PASSWORD, never from the command line. The plugin checks the disk and the
// password before nbdkit starts serving (get_ready), so that a wrong password stops
// nbdkit at once with one clear line, and opens the disk after nbdkit has forked
// (after_fork), because the disk's file system runs threads that a fork would lose.
#define NBDKIT_API_VERSION 2

// The thread model. Every connection must see the same disk: two open disks over one
// folder would each keep their own unsaved fleck and cache and overwrite each other's
// stores. So all connections share one CNbdExport, which lets reads of stored flecks run
// at once and runs everything that touches the disk's own fleck object alone (its
// reader-writer lock): PARALLEL.
#define THREAD_MODEL NBDKIT_THREAD_MODEL_PARALLEL

#include <nbdkit-plugin.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "CNbdExport.h"
#include "NbdError.h"
#include "fleck/Version.h"
#include "zel/Log.h"

namespace {

using fleck::nbd::CNbdExport;

// Written while nbdkit reads its configuration and gets ready (one thread); read by the
// requests afterwards, which nbdkit starts only then.
CNbdExport::Options options;
bool diskGiven = false;
// Opened in after_fork (before any request), closed in cleanup (after the last); the
// requests between share it, and it locks what it must.
std::unique_ptr<CNbdExport> served;

// Reports a failure to nbdkit: its message in the log (and to the client where NBD
// carries it) and an errno for the client.
int fail(const std::exception& error) noexcept {
  try {
    nbdkit_error("%s", fleck::nbd::describeError(error).c_str());
  } catch (...) {
    nbdkit_error("fleck: %s", error.what());
  }
  nbdkit_set_error(fleck::nbd::errnoFor(error));
  return -1;
}

int failUnknown() noexcept {
  nbdkit_error("fleck: unknown failure");
  nbdkit_set_error(EIO);
  return -1;
}

// Runs `work` and turns every exception into an nbdkit error.
template <typename Work>
int guarded(Work&& work) noexcept {
  try {
    work();
    return 0;
  } catch (const std::exception& e) {
    return fail(e);
  } catch (...) {
    return failUnknown();
  }
}

void fleckLoad() {
  // The library logs what it hands on (a failed background store, a fleck it could
  // not load); nbdkit shows it with -v. The failures themselves reach the client
  // through the request or the flush that meets them.
  zel::setLogSink(
      [](const zel::String& message, const std::exception& error, const zel::String& detail) {
        nbdkit_debug("%s: %s %s", message.toUTF8().c_str(), error.what(), detail.toUTF8().c_str());
      });
}

void fleckUnload() {
  served.reset();
  zel::setLogSink(zel::LogSink());
}

int fleckConfig(const char* key, const char* value) {
  const std::string name = key;
  if (name == "disk") {
    return guarded([&] {
      options.diskPath = value;
      diskGiven = true;
    });
  }
  if (name == "password-file") {
    return guarded([&] { options.passwordFile = value; });
  }
  if (name == "readonly") {
    const int flag = nbdkit_parse_bool(value);
    if (flag < 0) return -1;
    options.readOnly = flag != 0 ? CNbdExport::ReadOnly::Yes : CNbdExport::ReadOnly::No;
    return 0;
  }
  if (name == "threads") {
    int threads = 0;
    if (nbdkit_parse_int("threads", value, &threads) < 0) return -1;
    if (threads < 1 || threads > 256) {
      nbdkit_error("fleck: threads must be 1 to 256, not %d", threads);
      return -1;
    }
    options.threads = threads;
    return 0;
  }
  if (name == "password") {
    nbdkit_error(
        "fleck: a password is never taken from the command line; use "
        "password-file=FILE or the environment variable FLECK_PASSWORD");
    return -1;
  }
  nbdkit_error("fleck: unknown parameter '%s'", key);
  return -1;
}

int fleckConfigComplete() {
  if (!diskGiven || options.diskPath.empty()) {
    nbdkit_error("fleck: the disk folder is missing: disk=DIR");
    return -1;
  }
  return 0;
}

int fleckGetReady() {
  return guarded([] { CNbdExport::check(options); });
}

int fleckAfterFork() {
  return guarded([] { served = std::make_unique<CNbdExport>(options); });
}

void fleckCleanup() {
  // The disk stores what is left when it closes; failures are logged, not thrown.
  served.reset();
}

void* fleckOpen(int /*readonly*/) {
  if (served == nullptr) {
    nbdkit_error("fleck: the disk is not open");
    return nullptr;
  }
  return served.get();
}

void fleckClose(void* /*handle*/) {
  // Connections share the disk; it closes with nbdkit (cleanup).
}

CNbdExport& exportOf(void* handle) {
  return *static_cast<CNbdExport*>(handle);
}

int64_t fleckGetSize(void* handle) {
  return exportOf(handle).getSize();
}

int fleckCanWrite(void* handle) {
  return exportOf(handle).isWritable() ? 1 : 0;
}

int fleckCanFlush(void* handle) {
  return exportOf(handle).isWritable() ? 1 : 0;
}

int fleckCanTrimOrZero(void* handle) {
  return exportOf(handle).isWritable() ? 1 : 0;
}

int fleckCanFastZero(void* /*handle*/) {
  // Zeroing writes zeros fleck by fleck: no faster than writing.
  return 0;
}

int fleckCanFua(void* handle) {
  // nbdkit flushes after a write that asks for it.
  return exportOf(handle).isWritable() ? NBDKIT_FUA_EMULATE : NBDKIT_FUA_NONE;
}

int fleckCanMultiConn(void* /*handle*/) {
  // Connections share one disk: a flush on one covers the writes of all.
  return 1;
}

int fleckIsRotational(void* /*handle*/) {
  return 0;
}

int fleckPread(void* handle, void* buffer, uint32_t count, uint64_t offset, uint32_t /*flags*/) {
  return guarded([&] { exportOf(handle).read(buffer, count, offset); });
}

int fleckPwrite(void* handle, const void* buffer, uint32_t count, uint64_t offset,
                uint32_t /*flags*/) {
  return guarded([&] { exportOf(handle).write(buffer, count, offset); });
}

int fleckZero(void* handle, uint32_t count, uint64_t offset, uint32_t flags) {
  if ((flags & NBDKIT_FLAG_FAST_ZERO) != 0) {
    nbdkit_set_error(ENOTSUP);
    return -1;
  }
  return guarded([&] { exportOf(handle).zero(count, offset); });
}

// A trim writes zeros too: reading trimmed bytes may give anything, and zeros free the
// flecks that become empty.
int fleckTrim(void* handle, uint32_t count, uint64_t offset, uint32_t /*flags*/) {
  return guarded([&] { exportOf(handle).zero(count, offset); });
}

int fleckFlush(void* handle, uint32_t /*flags*/) {
  return guarded([&] { exportOf(handle).flush(); });
}

int fleckCanExtents(void* /*handle*/) {
  return 1;
}

// Flecks without a file anywhere in the chain are holes that read as zeros, so that
// clients skip them without reading; see CNbdExport::mapExtents.
int fleckExtents(void* handle, uint32_t count, uint64_t offset, uint32_t flags,
                 struct nbdkit_extents* extents) {
  int status = 0;
  const int guard = guarded([&] {
    const bool firstOnly = (flags & NBDKIT_FLAG_REQ_ONE) != 0;
    for (const auto& extent : exportOf(handle).mapExtents(count, offset, firstOnly)) {
      const uint32_t type = extent.zero ? (NBDKIT_EXTENT_HOLE | NBDKIT_EXTENT_ZERO) : 0;
      // nbdkit_add_extent reports its own error.
      if (nbdkit_add_extent(extents, static_cast<uint64_t>(extent.offset),
                            static_cast<uint64_t>(extent.length), type) != 0) {
        status = -1;
        return;
      }
    }
  });
  return guard != 0 ? guard : status;
}

void fleckDumpPlugin() {
  std::printf("fleck_version=%s\n", fleck::getLibraryVersion().toUTF8().c_str());
}

nbdkit_plugin makePlugin() {
  nbdkit_plugin plugin{};
  plugin.name = "fleck";
  plugin.longname = "fleck disk plugin";
  plugin.version = "1";
  plugin.description = "Serves a fleck disk (a virtual disk kept as a folder of flecks).";
  plugin.load = fleckLoad;
  plugin.unload = fleckUnload;
  plugin.config = fleckConfig;
  plugin.config_complete = fleckConfigComplete;
  plugin.config_help =
      "disk=DIR                the disk's folder (required)\n"
      "password-file=FILE      the password (first line); else FLECK_PASSWORD\n"
      "readonly=true|false     serve read-only (default: read-only when the disk has parents)\n"
      "threads=N               read-ahead and store threads (default: the number of cores)";
  plugin.magic_config_key = "disk";
  plugin.get_ready = fleckGetReady;
  plugin.after_fork = fleckAfterFork;
  plugin.cleanup = fleckCleanup;
  plugin.open = fleckOpen;
  plugin.close = fleckClose;
  plugin.get_size = fleckGetSize;
  plugin.can_write = fleckCanWrite;
  plugin.can_flush = fleckCanFlush;
  plugin.can_trim = fleckCanTrimOrZero;
  plugin.can_zero = fleckCanTrimOrZero;
  plugin.can_fast_zero = fleckCanFastZero;
  plugin.can_fua = fleckCanFua;
  plugin.can_multi_conn = fleckCanMultiConn;
  plugin.is_rotational = fleckIsRotational;
  plugin.pread = fleckPread;
  plugin.pwrite = fleckPwrite;
  plugin.zero = fleckZero;
  plugin.trim = fleckTrim;
  plugin.flush = fleckFlush;
  plugin.can_extents = fleckCanExtents;
  plugin.extents = fleckExtents;
  plugin.dump_plugin = fleckDumpPlugin;
  plugin.errno_is_preserved = 0;
  return plugin;
}

nbdkit_plugin fleckPlugin = makePlugin();

}  // namespace

NBDKIT_REGISTER_PLUGIN(fleckPlugin)
