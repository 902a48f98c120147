#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "zel/CError.h"
#include "zel/CFileSystemError.h"
#include "zel/CFileSystemWrapper.h"

namespace fleck::test {

// A file system for tests that wraps a real one and, by rules, fails chosen operations
// or holds their completions until the test releases them. It logs every call ("op
// path" or "op source -> target") for tests of the sequence an algorithm ran.
//
// A rule matches an operation by kind and by a substring of its location (of either
// location of a move). The first `skip` matching calls pass, the next `times` (-1: all)
// are affected; with `oneIn` > 1 only about one in that many, drawn from the seed.
// Affected synchronous calls throw zel::CFileSystemError with the rule's problem;
// asynchronous ones report it to their listener on a completion thread, or with
// `throwAtCall` throw it from the call (the listener is then never told). A holding
// rule runs the operation but parks its completion until releaseHeld(). Thread-safe.
class CFaultInjectingFileSystem final : public zel::CFileSystemWrapper {
 public:
  enum Op : int {
    GetFileInfo,
    OpenStream,
    CreateFolder,
    Exists,
    FileExists,
    FolderExists,
    DeleteFile,
    DeleteFolder,
    ListFolder,
    MoveAsync,
    CreateFolderAsync,
    StoreStreamAsync,
    DeleteAsync,
    kOpCount,
  };
  // Written with designated initializers ({.op = ..., .times = 1}): the fields may grow.
  struct Rule {
    Op op;
    std::string pathContains = {};  // empty: any location
    int problem = zel::CFileSystemError::Other;
    bool hold = false;         // park the completion instead of failing
    bool throwAtCall = false;  // asynchronous calls: throw from the call, tell no listener
    int skip = 0;
    int times = -1;
    int oneIn = 0;
  };

  explicit CFaultInjectingFileSystem(zel::P<zel::IFileSystem> target, std::uint64_t seed = 1);
  ~CFaultInjectingFileSystem() override;

  void addRule(const Rule& rule);
  void clearRules();
  int getCallCount(Op op) const;
  int getInjectedCount(Op op) const;
  // The log, or its entries that start with `prefix` (e.g. "createFolderAsync").
  std::vector<std::string> getLog(const std::string& prefix = "") const;
  // Waits until at least `count` completions are parked; false after timeoutMs.
  bool waitForHeld(int count, int timeoutMs) const;
  // Delivers every parked completion, on a completion thread.
  void releaseHeld();

 private:
  enum class Action { Pass, Fail, Throw, Hold };
  struct Decision {
    Action action = Action::Pass;
    int problem = 0;
  };
  Decision decide(Op op, const zel::CURI& a, const zel::CURI* b, const char* note);
  // Synchronous calls: fail, or go on with `call`.
  template <class Call>
  auto sync(Op op, const zel::CURI& location, Call&& call) {
    const Decision decision = decide(op, location, nullptr, "");
    if (decision.action == Action::Fail || decision.action == Action::Throw) {
      throwInjected(decision.problem, location);
    }
    return call();
  }
  // Asynchronous calls: fail, hold, or go on through `forward`.
  template <class Forward>
  zel::P<zel::IAsyncOperation> async(Op op, const zel::CURI& a, const zel::CURI* b,
                                     const char* note, zel::IDoneListener* listener,
                                     Forward forward) {
    const Decision decision = decide(op, a, b, note);
    const int problem = decision.problem;
    if (decision.action == Action::Throw) throwInjected(problem, a);
    if (decision.action == Action::Fail)
      return runAsync([=] { throwInjected(problem, a); }, listener);
    if (decision.action == Action::Hold) return forward(holding(listener).get());
    return forward(listener);
  }
  [[noreturn]] static void throwInjected(int problem, const zel::CURI& location);
  zel::P<zel::IDoneListener> holding(zel::IDoneListener* listener);

 public:
  zel::P<zel::CFileInfo> getFileInfo(const zel::CURI& at, int flags) override {
    return sync(GetFileInfo, at, [&] { return CFileSystemWrapper::getFileInfo(at, flags); });
  }
  zel::P<zel::IIOStream> openStream(const zel::CURI& at, int access, int mode) override {
    return sync(OpenStream, at, [&] { return CFileSystemWrapper::openStream(at, access, mode); });
  }
  bool createFolder(const zel::CURI& at, int permissions) override {
    return sync(CreateFolder, at,
                [&] { return CFileSystemWrapper::createFolder(at, permissions); });
  }
  bool exists(const zel::CURI& at) override {
    return sync(Exists, at, [&] { return CFileSystemWrapper::exists(at); });
  }
  bool fileExists(const zel::CURI& at) override {
    return sync(FileExists, at, [&] { return CFileSystemWrapper::fileExists(at); });
  }
  bool folderExists(const zel::CURI& at) override {
    return sync(FolderExists, at, [&] { return CFileSystemWrapper::folderExists(at); });
  }
  void deleteFile(const zel::CURI& at, bool ignoreMissing) override {
    sync(DeleteFile, at, [&] { CFileSystemWrapper::deleteFile(at, ignoreMissing); });
  }
  void deleteFolder(const zel::CURI& at) override {
    sync(DeleteFolder, at, [&] { CFileSystemWrapper::deleteFolder(at); });
  }
  std::vector<FolderEntry> listFolder(const zel::CURI& at) override {
    return sync(ListFolder, at, [&] { return CFileSystemWrapper::listFolder(at); });
  }
  zel::P<zel::IAsyncOperation> moveAsync(const zel::CURI& source, const zel::CURI& target,
                                         int flags, zel::IDoneListener* listener) override {
    return async(MoveAsync, source, &target, "", listener, [&](zel::IDoneListener* l) {
      return CFileSystemWrapper::moveAsync(source, target, flags, l);
    });
  }
  zel::P<zel::IAsyncOperation> createFolderAsync(const zel::CURI& at, int permissions,
                                                 zel::IDoneListener* listener) override {
    return async(CreateFolderAsync, at, nullptr, "", listener, [&](zel::IDoneListener* l) {
      return CFileSystemWrapper::createFolderAsync(at, permissions, l);
    });
  }
  zel::P<zel::IAsyncOperation> storeStreamAsync(const zel::CURI& at, std::int64_t length,
                                                zel::P<zel::IInStream> source, bool replace,
                                                zel::IDoneListener* listener) override {
    return async(StoreStreamAsync, at, nullptr, replace ? " replace" : " noreplace", listener,
                 [&](zel::IDoneListener* l) {
                   return CFileSystemWrapper::storeStreamAsync(at, length, source, replace, l);
                 });
  }
  zel::P<zel::IAsyncOperation> deleteAsync(const zel::CURI& at,
                                           zel::IDoneListener* listener) override {
    return async(DeleteAsync, at, nullptr, "", listener,
                 [&](zel::IDoneListener* l) { return CFileSystemWrapper::deleteAsync(at, l); });
  }

 private:
  class CHoldingListener;
  struct RuleState {
    Rule rule;
    int seen = 0;
    int affected = 0;
  };
  struct Parked {
    zel::P<zel::IDoneListener> listener;
    zel::P<zel::CError> error;
  };

  void park(zel::IDoneListener* listener, const zel::CError* error);

  mutable std::mutex mutex;  // guards everything below
  mutable std::condition_variable heldChanged;
  std::vector<RuleState> rules;
  std::vector<std::string> log;
  int calls[kOpCount] = {};
  int injected[kOpCount] = {};
  std::vector<Parked> parked;
  std::uint64_t random;
};

}  // namespace fleck::test
