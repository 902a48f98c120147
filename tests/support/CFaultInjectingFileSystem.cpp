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

CFaultInjectingFileSystem::Decision CFaultInjectingFileSystem::decide(Op op, const CURI& location,
                                                                      const CURI* other,
                                                                      const char* note) {
  const std::string a = text(location), b = other == nullptr ? "" : text(*other);
  std::lock_guard<std::mutex> lock(mutex);
  ++calls[op];
  log.push_back(kOpNames[op] + (" " + a) + (b.empty() ? "" : " -> " + b) + note);
  for (auto& state : rules) {
    const Rule& rule = state.rule;
    const auto& part = rule.pathContains;
    if (rule.op != op || (!part.empty() && a.find(part) == std::string::npos &&
                          (b.empty() || b.find(part) == std::string::npos))) {
      continue;
    }
    if (state.seen++ < rule.skip || (rule.times >= 0 && state.affected >= rule.times)) continue;
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

void CFaultInjectingFileSystem::throwInjected(int problem, const CURI& location) {
  zel::CError cause("Injected fault", "CFaultInjectingFileSystem", -1,
                    zel::CProps().add("path", location.toString(false)));
  throw zel::CFileSystemError(static_cast<zel::CFileSystemError::Problem>(problem), &cause);
}

P<IDoneListener> CFaultInjectingFileSystem::holding(IDoneListener* listener) {
  return zel::make<CHoldingListener>(this, listener);
}

}  // namespace fleck::test
