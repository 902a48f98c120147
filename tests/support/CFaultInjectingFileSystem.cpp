#include "support/CFaultInjectingFileSystem.h"

#include <chrono>

namespace fleck::test {

using zel::CURI;
using zel::IDoneListener;
using zel::P;

namespace {

const char* const kOpNames[] = {
    "getFileInfo",       "openStream",       "createFolder", "exists",     "fileExists",
    "folderExists",      "deleteFile",       "deleteFolder", "listFolder", "moveAsync",
    "createFolderAsync", "storeStreamAsync", "deleteAsync"};

std::string text(const CURI& uri) {
  return uri.toString(false).toUTF8();
}

[[noreturn]] void throwInjected(int problem, const std::string& path) {
  zel::CError cause("Injected fault", "CFaultInjectingFileSystem", -1,
                    zel::CProps().add("path", zel::String::fromUTF8(path)));
  throw zel::CFileSystemError(static_cast<zel::CFileSystemError::Problem>(problem), &cause);
}

}  // namespace

// Parks the completion of a held operation. Keeps the file system alive until then: a
// test that never releases what it held leaks (and the leak checker says so).
class CFaultInjectingFileSystem::CHoldingListener final : public zel::CBase,
                                                          public virtual IDoneListener {
 public:
  CHoldingListener(CFaultInjectingFileSystem* owner, IDoneListener* listener)
      : owner(owner), listener(listener) {}
  void onDone(const zel::CError* error) override { owner->park(listener, error); }

 private:
  P<CFaultInjectingFileSystem> owner;
  P<IDoneListener> listener;
};

CFaultInjectingFileSystem::CFaultInjectingFileSystem(P<zel::IFileSystem> target, std::uint64_t seed)
    : zel::CFileSystemWrapper(std::move(target)), random(seed | 1) {}

CFaultInjectingFileSystem::~CFaultInjectingFileSystem() {
  releaseHeld();  // parked completions still reach their listeners
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

std::vector<std::string> CFaultInjectingFileSystem::getLog(const std::string& prefix) const {
  std::lock_guard<std::mutex> lock(mutex);
  std::vector<std::string> matching;
  for (const auto& entry : log) {
    if (entry.starts_with(prefix)) matching.push_back(entry);
  }
  return matching;
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
    runAsync([error = p.error] { error == nullptr ? void() : error->throwClone(); }, p.listener);
  }
}

void CFaultInjectingFileSystem::park(IDoneListener* listener, const zel::CError* error) {
  std::lock_guard<std::mutex> lock(mutex);
  parked.push_back(Parked{listener, error != nullptr ? error->clone() : nullptr});
  heldChanged.notify_all();
}

CFaultInjectingFileSystem::Decision CFaultInjectingFileSystem::decide(Op op, const std::string& a,
                                                                      const std::string& b,
                                                                      const char* note) {
  std::lock_guard<std::mutex> lock(mutex);
  ++calls[op];
  log.push_back(kOpNames[op] + (" " + a) + (b.empty() ? "" : " -> " + b) + note);
  for (auto& state : rules) {
    const Rule& rule = state.rule;
    if (rule.op != op) continue;
    const auto& part = rule.pathContains;
    if (!part.empty() && a.find(part) == std::string::npos &&
        (b.empty() || b.find(part) == std::string::npos)) {
      continue;
    }
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
    return {rule.hold          ? Action::Hold
            : rule.throwAtCall ? Action::Throw
                               : Action::Fail,
            rule.problem};
  }
  return {};
}

template <class Call>
auto CFaultInjectingFileSystem::sync(Op op, const CURI& location, Call&& call) {
  const std::string path = text(location);
  const Decision decision = decide(op, path);
  if (decision.action == Action::Fail || decision.action == Action::Throw) {
    throwInjected(decision.problem, path);
  }
  return call();
}

template <class Forward>
P<zel::IAsyncOperation> CFaultInjectingFileSystem::async(Op op, const std::string& a,
                                                         const std::string& b, const char* note,
                                                         IDoneListener* listener, Forward forward) {
  const Decision decision = decide(op, a, b, note);
  const int problem = decision.problem;
  if (decision.action == Action::Throw) throwInjected(problem, a);
  if (decision.action == Action::Fail)
    return runAsync([=] { throwInjected(problem, a); }, listener);
  if (decision.action == Action::Hold) return forward(zel::make<CHoldingListener>(this, listener));
  return forward(listener);
}

P<zel::CFileInfo> CFaultInjectingFileSystem::getFileInfo(const CURI& location, int flags) {
  return sync(GetFileInfo, location,
              [&] { return CFileSystemWrapper::getFileInfo(location, flags); });
}
P<zel::IIOStream> CFaultInjectingFileSystem::openStream(const CURI& location, int access,
                                                        int mode) {
  return sync(OpenStream, location,
              [&] { return CFileSystemWrapper::openStream(location, access, mode); });
}
bool CFaultInjectingFileSystem::createFolder(const CURI& location, int permissions) {
  return sync(CreateFolder, location,
              [&] { return CFileSystemWrapper::createFolder(location, permissions); });
}
bool CFaultInjectingFileSystem::exists(const CURI& location) {
  return sync(Exists, location, [&] { return CFileSystemWrapper::exists(location); });
}
bool CFaultInjectingFileSystem::fileExists(const CURI& location) {
  return sync(FileExists, location, [&] { return CFileSystemWrapper::fileExists(location); });
}
bool CFaultInjectingFileSystem::folderExists(const CURI& location) {
  return sync(FolderExists, location, [&] { return CFileSystemWrapper::folderExists(location); });
}
void CFaultInjectingFileSystem::deleteFile(const CURI& location, bool ignoreMissing) {
  sync(DeleteFile, location, [&] { CFileSystemWrapper::deleteFile(location, ignoreMissing); });
}
void CFaultInjectingFileSystem::deleteFolder(const CURI& location) {
  sync(DeleteFolder, location, [&] { CFileSystemWrapper::deleteFolder(location); });
}
std::vector<zel::IFileSystem::FolderEntry> CFaultInjectingFileSystem::listFolder(
    const CURI& location) {
  return sync(ListFolder, location, [&] { return CFileSystemWrapper::listFolder(location); });
}

P<zel::IAsyncOperation> CFaultInjectingFileSystem::moveAsync(const CURI& source, const CURI& target,
                                                             int flags, IDoneListener* listener) {
  return async(MoveAsync, text(source), text(target), "", listener, [&](IDoneListener* l) {
    return CFileSystemWrapper::moveAsync(source, target, flags, l);
  });
}

P<zel::IAsyncOperation> CFaultInjectingFileSystem::createFolderAsync(const CURI& location,
                                                                     int permissions,
                                                                     IDoneListener* listener) {
  return async(CreateFolderAsync, text(location), "", "", listener, [&](IDoneListener* l) {
    return CFileSystemWrapper::createFolderAsync(location, permissions, l);
  });
}

P<zel::IAsyncOperation> CFaultInjectingFileSystem::storeStreamAsync(const CURI& target,
                                                                    std::int64_t length,
                                                                    P<zel::IInStream> source,
                                                                    bool replace,
                                                                    IDoneListener* listener) {
  return async(StoreStreamAsync, text(target), "", replace ? " replace" : " noreplace", listener,
               [&](IDoneListener* l) {
                 return CFileSystemWrapper::storeStreamAsync(target, length, source, replace, l);
               });
}

P<zel::IAsyncOperation> CFaultInjectingFileSystem::deleteAsync(const CURI& location,
                                                               IDoneListener* listener) {
  return async(DeleteAsync, text(location), "", "", listener,
               [&](IDoneListener* l) { return CFileSystemWrapper::deleteAsync(location, l); });
}

}  // namespace fleck::test
