#include "support/CFaultInjectingFileSystem.h"

#include <chrono>

namespace fleck::test {

namespace {

const char* const kOpNames[] = {
    "getFileInfo",       "openStream",       "createFolder", "exists",     "fileExists",
    "folderExists",      "deleteFile",       "deleteFolder", "listFolder", "moveAsync",
    "createFolderAsync", "storeStreamAsync", "deleteAsync"};

std::string text(const zel::CURI& uri) {
  return uri.toString(false).toUTF8();
}

}  // namespace

// Parks the completion of a held operation instead of passing it on.
class CFaultInjectingFileSystem::CHoldingListener final : public zel::CBase,
                                                          public virtual zel::IDoneListener {
 public:
  CHoldingListener(CFaultInjectingFileSystem* owner, zel::IDoneListener* listener)
      : owner(owner), listener(listener) {}
  void onDone(const zel::CError* error) override { owner->park(listener, error); }

 private:
  // Keeps the file system alive until the held operation has been parked; a test that
  // never releases what it held leaks (and the leak checker says so).
  zel::P<CFaultInjectingFileSystem> owner;
  zel::P<zel::IDoneListener> listener;
};

CFaultInjectingFileSystem::CFaultInjectingFileSystem(zel::P<zel::IFileSystem> target,
                                                     std::uint64_t seed)
    : zel::CFileSystemWrapper(std::move(target)), random(seed | 1) {}

CFaultInjectingFileSystem::~CFaultInjectingFileSystem() {
  // Parked completions must still reach their listeners: nothing waits forever.
  releaseHeld();
  finishOwnOperations();
}

void CFaultInjectingFileSystem::addRule(const Rule& rule) {
  std::lock_guard<std::mutex> lock(mutex);
  rules.push_back(RuleState{rule});
}

void CFaultInjectingFileSystem::clearRules() {
  std::lock_guard<std::mutex> lock(mutex);
  rules.clear();
}

int CFaultInjectingFileSystem::getCallCount(Op op) const {
  std::lock_guard<std::mutex> lock(mutex);
  return calls[op];
}

int CFaultInjectingFileSystem::getInjectedCount(Op op) const {
  std::lock_guard<std::mutex> lock(mutex);
  return injected[op];
}

std::vector<std::string> CFaultInjectingFileSystem::getLog() const {
  std::lock_guard<std::mutex> lock(mutex);
  return log;
}

std::vector<std::string> CFaultInjectingFileSystem::getLog(const std::string& prefix) const {
  std::vector<std::string> matching;
  for (const auto& entry : getLog()) {
    if (entry.rfind(prefix, 0) == 0) matching.push_back(entry);
  }
  return matching;
}

void CFaultInjectingFileSystem::clearLog() {
  std::lock_guard<std::mutex> lock(mutex);
  log.clear();
}

int CFaultInjectingFileSystem::getHeldCount() const {
  std::lock_guard<std::mutex> lock(mutex);
  return static_cast<int>(parked.size());
}

bool CFaultInjectingFileSystem::waitForHeld(int count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex);
  return heldChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return static_cast<int>(parked.size()) >= count; });
}

void CFaultInjectingFileSystem::releaseHeld() {
  std::vector<Parked> release;
  {
    std::lock_guard<std::mutex> lock(mutex);
    release.swap(parked);
  }
  for (auto& p : release) {
    zel::P<zel::CError> error = p.error;
    runAsync(
        [error] {
          if (error != nullptr) error->throwClone();
        },
        p.listener);
  }
}

void CFaultInjectingFileSystem::park(zel::IDoneListener* listener, const zel::CError* error) {
  std::lock_guard<std::mutex> lock(mutex);
  parked.push_back(Parked{listener, error != nullptr ? error->clone() : nullptr});
  heldChanged.notify_all();
}

CFaultInjectingFileSystem::Decision CFaultInjectingFileSystem::decide(Op op,
                                                                      const std::string& entry,
                                                                      const std::string& a,
                                                                      const std::string& b) {
  std::lock_guard<std::mutex> lock(mutex);
  ++calls[op];
  log.push_back(entry);
  for (auto& state : rules) {
    const Rule& rule = state.rule;
    if (rule.op != op) continue;
    const bool matches = rule.pathContains.empty() ||
                         a.find(rule.pathContains) != std::string::npos ||
                         (!b.empty() && b.find(rule.pathContains) != std::string::npos);
    if (!matches) continue;
    if (state.seen++ < rule.skip) continue;
    if (rule.times >= 0 && state.affected >= rule.times) continue;
    if (rule.oneIn > 1) {
      // xorshift64: cheap, seeded, repeatable.
      random ^= random << 13;
      random ^= random >> 7;
      random ^= random << 17;
      if (random % static_cast<std::uint64_t>(rule.oneIn) != 0) continue;
    }
    ++state.affected;
    if (!rule.hold) ++injected[op];
    const Action action = rule.hold          ? Action::Hold
                          : rule.throwAtCall ? Action::Throw
                                             : Action::Fail;
    return Decision{action, rule.problem};
  }
  return Decision{};
}

void CFaultInjectingFileSystem::throwInjected(int problem, const std::string& path) {
  zel::CError cause("Injected fault", "CFaultInjectingFileSystem", -1,
                    zel::CProps().add("path", zel::String::fromUTF8(path)));
  throw zel::CFileSystemError(static_cast<zel::CFileSystemError::Problem>(problem), &cause);
}

template <class Forward>
zel::P<zel::IAsyncOperation> CFaultInjectingFileSystem::async(Op op, const std::string& entry,
                                                              const std::string& a,
                                                              const std::string& b,
                                                              zel::IDoneListener* listener,
                                                              Forward forward) {
  const Decision decision = decide(op, entry, a, b);
  if (decision.action == Action::Throw) throwInjected(decision.problem, a);
  if (decision.action == Action::Fail) {
    const int problem = decision.problem;
    return runAsync([problem, a] { throwInjected(problem, a); }, listener);
  }
  if (decision.action == Action::Hold) return forward(zel::make<CHoldingListener>(this, listener));
  return forward(listener);
}

#define FLECK_SYNC(op, uri, call)                                                              \
  do {                                                                                         \
    const std::string path = text(uri);                                                        \
    const Decision d = decide(op, std::string(kOpNames[op]) + " " + path, path, "");           \
    if (d.action == Action::Fail || d.action == Action::Throw) throwInjected(d.problem, path); \
    return call;                                                                               \
  } while (false)

zel::P<zel::CFileInfo> CFaultInjectingFileSystem::getFileInfo(const zel::CURI& location,
                                                              int flags) {
  FLECK_SYNC(GetFileInfo, location, zel::CFileSystemWrapper::getFileInfo(location, flags));
}

zel::P<zel::IIOStream> CFaultInjectingFileSystem::openStream(const zel::CURI& location, int access,
                                                             int mode) {
  FLECK_SYNC(OpenStream, location, zel::CFileSystemWrapper::openStream(location, access, mode));
}

bool CFaultInjectingFileSystem::createFolder(const zel::CURI& location, int permissions) {
  FLECK_SYNC(CreateFolder, location, zel::CFileSystemWrapper::createFolder(location, permissions));
}

bool CFaultInjectingFileSystem::exists(const zel::CURI& location) {
  FLECK_SYNC(Exists, location, zel::CFileSystemWrapper::exists(location));
}

bool CFaultInjectingFileSystem::fileExists(const zel::CURI& location) {
  FLECK_SYNC(FileExists, location, zel::CFileSystemWrapper::fileExists(location));
}

bool CFaultInjectingFileSystem::folderExists(const zel::CURI& location) {
  FLECK_SYNC(FolderExists, location, zel::CFileSystemWrapper::folderExists(location));
}

void CFaultInjectingFileSystem::deleteFile(const zel::CURI& location, bool ignoreMissing) {
  FLECK_SYNC(DeleteFile, location, zel::CFileSystemWrapper::deleteFile(location, ignoreMissing));
}

void CFaultInjectingFileSystem::deleteFolder(const zel::CURI& location) {
  FLECK_SYNC(DeleteFolder, location, zel::CFileSystemWrapper::deleteFolder(location));
}

std::vector<zel::IFileSystem::FolderEntry> CFaultInjectingFileSystem::listFolder(
    const zel::CURI& location) {
  FLECK_SYNC(ListFolder, location, zel::CFileSystemWrapper::listFolder(location));
}

#undef FLECK_SYNC

zel::P<zel::IAsyncOperation> CFaultInjectingFileSystem::moveAsync(const zel::CURI& source,
                                                                  const zel::CURI& target,
                                                                  int flags,
                                                                  zel::IDoneListener* listener) {
  const std::string from = text(source);
  const std::string to = text(target);
  return async(MoveAsync, "moveAsync " + from + " -> " + to, from, to, listener,
               [&](zel::IDoneListener* l) {
                 return zel::CFileSystemWrapper::moveAsync(source, target, flags, l);
               });
}

zel::P<zel::IAsyncOperation> CFaultInjectingFileSystem::createFolderAsync(
    const zel::CURI& location, int permissions, zel::IDoneListener* listener) {
  const std::string path = text(location);
  return async(CreateFolderAsync, "createFolderAsync " + path, path, "", listener,
               [&](zel::IDoneListener* l) {
                 return zel::CFileSystemWrapper::createFolderAsync(location, permissions, l);
               });
}

zel::P<zel::IAsyncOperation> CFaultInjectingFileSystem::storeStreamAsync(
    const zel::CURI& target, std::int64_t length, zel::P<zel::IInStream> source, bool replace,
    zel::IDoneListener* listener) {
  const std::string path = text(target);
  return async(StoreStreamAsync, "storeStreamAsync " + path + (replace ? " replace" : " noreplace"),
               path, "", listener, [&](zel::IDoneListener* l) {
                 return zel::CFileSystemWrapper::storeStreamAsync(target, length, source, replace,
                                                                  l);
               });
}

zel::P<zel::IAsyncOperation> CFaultInjectingFileSystem::deleteAsync(const zel::CURI& location,
                                                                    zel::IDoneListener* listener) {
  const std::string path = text(location);
  return async(DeleteAsync, "deleteAsync " + path, path, "", listener, [&](zel::IDoneListener* l) {
    return zel::CFileSystemWrapper::deleteAsync(location, l);
  });
}

}  // namespace fleck::test
