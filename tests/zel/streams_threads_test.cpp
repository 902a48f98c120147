// The buffer stream's read, write and seek rules, the portable data encoding, and the
// thread primitives. Threads meet through signals and latches, never through sleeps;
// no test asserts on how long something took.

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <latch>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zel/CBufferStream.h"
#include "zel/CDataInStream.h"
#include "zel/CDataOutStream.h"
#include "zel/CIOError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CMTRand.h"
#include "zel/CMutex.h"
#include "zel/CSemaphore.h"
#include "zel/CSignal.h"
#include "zel/CThread.h"
#include "zel/Log.h"
#include "zel/TConstBufferSlice.h"

namespace fleck::test {
namespace {

using zel::CBufferStream;
using zel::CIOError;
using zel::CSignal;
using zel::P;
using zel::String;
using Bytes = zel::TBuffer<unsigned char>;

std::string text(const Bytes& buffer) {
  return std::string(reinterpret_cast<const char*>(buffer.getData()), buffer.getUsed());
}

void expectIOError(CIOError::Code code, const std::function<void()>& operation) {
  try {
    operation();
    ADD_FAILURE() << "no error; expected CIOError code " << code;
  } catch (const CIOError& e) {
    EXPECT_EQ(e.getIOCode(), code) << e.what();
  }
}

P<Bytes> encode(const std::function<void(zel::CDataOutStream&)>& write) {
  CBufferStream stream;
  {
    zel::CDataOutStream out(&stream);
    write(out);
  }
  return stream.getBuffer();
}

// Little-endian two's complement; a string is its UTF-8 byte count, then the bytes.
TEST(DataStreamTest, EncodingRoundTripAndTruncationAtEveryByte) {
  const auto writeRecord = [](zel::CDataOutStream& out) {
    out.writeInt16(-2);
    out.writeInt32(std::numeric_limits<std::int32_t>::min());
    out.writeInt64(0x0102030405060708);
    out.writeString(String("caf\xC3\xA9"));
    out.writeString(String(L"a\0b", 3));
  };
  const P<Bytes> record = encode(writeRecord);
  const std::string expected(
      "\xFE\xFF\x00\x00\x00\x80\x08\x07\x06\x05\x04\x03\x02\x01"
      "\x05\x00\x00\x00"
      "caf\xC3\xA9\x03\x00\x00\x00"
      "a\0b",
      30);
  EXPECT_EQ(text(*record), expected);
  const auto readRecord = [](zel::CDataInStream& in) {
    EXPECT_EQ(in.readInt16(), -2);
    EXPECT_EQ(in.readInt32(), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(in.readInt64(), 0x0102030405060708);
    EXPECT_EQ(in.readString(), String("caf\xC3\xA9"));
    EXPECT_EQ(in.readString(), String(L"a\0b", 3));
  };
  for (std::size_t cut = 0; cut <= record->getUsed(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    const Bytes prefix(record->getData(), cut);
    CBufferStream stream(&prefix, CBufferStream::ReadOnly{});
    zel::CDataInStream in(&stream);
    if (cut == record->getUsed()) {
      readRecord(in);
      EXPECT_TRUE(stream.isEndOfStream());
    } else {
      expectIOError(CIOError::EndOfStream, [&] { readRecord(in); });
    }
  }
  // A negative length is damage; a huge one on a short stream ends it.
  for (std::int32_t length : {-1, std::numeric_limits<std::int32_t>::max()}) {
    const P<Bytes> bad = encode([&](zel::CDataOutStream& out) {
      out.writeInt32(length);
      out.write("abcd", 4, nullptr);
    });
    CBufferStream stream(bad.get(), CBufferStream::ReadOnly{});
    zel::CDataInStream in(&stream);
    expectIOError(length < 0 ? CIOError::InvalidData : CIOError::EndOfStream,
                  [&] { in.readString(); });
  }
}

TEST(BufferStreamTest, ReadWriteSeekAndLength) {
  P<Bytes> buffer = zel::make<Bytes>(reinterpret_cast<const unsigned char*>("0123456789"), 10);
  CBufferStream stream(buffer);
  stream.write("ab", 2, nullptr);  // from the start
  stream.seek(9);
  stream.write("XYZ", 3, nullptr);  // overwrites one byte, appends two
  stream.writeKeepBuffer(zel::TConstBufferSlice<unsigned char>(buffer, 2, 2), nullptr);
  EXPECT_EQ(text(*buffer), "ab2345678XYZ23");

  char out[16] = {};
  stream.seek(10);
  stream.read(out, 2);
  EXPECT_EQ(std::string(out, 2), "YZ");
  EXPECT_EQ(stream.readLax(out, 16), 2);
  EXPECT_TRUE(stream.isEndOfStream());
  EXPECT_EQ(stream.readLax(out, 8), 0);
  EXPECT_EQ(stream.readAvailable(out, 8), 0);
  stream.seek(14);  // the end itself is a valid position
  expectIOError(CIOError::InvalidPosition, [&] { stream.seek(15); });
  expectIOError(CIOError::InvalidPosition, [&] { stream.seek(-1); });
  EXPECT_EQ(stream.getPosition(), 14);
  stream.seek(12);
  expectIOError(CIOError::EndOfStream, [&] { stream.read(out, 3); });
  EXPECT_THROW(stream.write("x", -1, nullptr), zel::CInvalidArgError);
  EXPECT_THROW(stream.read(out, -1), zel::CInvalidArgError);
  stream.read(out, 0);

  stream.setLength(4);  // clamps the position, then grows with zeros
  EXPECT_EQ(stream.getPosition(), 4);
  stream.seek(0);
  stream.setLength(6);
  EXPECT_EQ(stream.getPosition(), 0);
  EXPECT_EQ(text(*buffer), std::string("ab23\0\0", 6));
  expectIOError(CIOError::InvalidPosition, [&] { stream.setLength(-1); });
}

TEST(BufferStreamTest, ReadOnlyAndClosedStreamsRefuse) {
  const Bytes data(reinterpret_cast<const unsigned char*>("fixed"), 5);
  CBufferStream readOnly(&data, CBufferStream::ReadOnly{});
  expectIOError(CIOError::NotSupported, [&] { readOnly.write("x", 0, nullptr); });
  expectIOError(CIOError::NotSupported, [&] { readOnly.setLength(1); });
  char out[5];
  readOnly.read(out, 5);
  EXPECT_EQ(std::string(out, 5), "fixed");

  CBufferStream stream;
  stream.write("abc", 3, nullptr);
  stream.close();
  stream.close();  // again: nothing
  const std::vector<std::pair<const char*, std::function<void()>>> operations = {
      {"read", [&] { stream.read(out, 1); }},
      {"write", [&] { stream.write("x", 1, nullptr); }},
      {"seek", [&] { stream.seek(0); }},
      {"getLength", [&] { (void)stream.getLength(); }},
      {"setLength", [&] { stream.setLength(0); }},
      {"flush", [&] { stream.flush(); }},
  };
  for (const auto& [name, operation] : operations) {
    SCOPED_TRACE(name);
    expectIOError(CIOError::StreamClosed, operation);
  }
}

// Long enough never to run out on a loaded machine; no successful wait depends on it.
constexpr int kGenerousMs = 60000;

TEST(SignalTest, ManualResetReleasesEveryWaiter) {
  CSignal signal;
  EXPECT_FALSE(signal.wait(0));
  EXPECT_FALSE(signal.wait(5));
  constexpr int kWaiters = 8;
  std::latch started(kWaiters);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&, i] {
      started.count_down();
      released += (i % 2 == 0 ? signal.wait(-1) : signal.wait(kGenerousMs)) ? 1 : 0;
    });
  }
  started.wait();
  signal.set();
  for (auto& t : waiters)
    t.join();
  EXPECT_EQ(released.load(), kWaiters);
  EXPECT_TRUE(signal.wait(0));  // waiting does not consume it
  signal.reset();
  EXPECT_FALSE(signal.wait(1));
  EXPECT_TRUE(CSignal(true).wait(0));
}

TEST(SemaphoreTest, NeverMoreHoldersThanUnits) {
  zel::CSemaphore semaphore(2);
  EXPECT_TRUE(semaphore.take(0));
  EXPECT_TRUE(semaphore.take(-1));
  EXPECT_FALSE(semaphore.take(2));
  semaphore.give(3);
  EXPECT_EQ(semaphore.getFreeUnits(), 3);
  EXPECT_THROW(semaphore.give(-1), zel::CInvalidArgError);
  std::atomic<int> inside{0};
  std::atomic<int> most{0};
  std::latch ready(8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      ready.arrive_and_wait();
      for (int i = 0; i < 500; ++i) {
        EXPECT_TRUE(semaphore.take(-1));
        const int now = ++inside;
        for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
        }
        --inside;
        semaphore.give();
      }
    });
  }
  for (auto& t : threads)
    t.join();
  EXPECT_LE(most.load(), 3);
  EXPECT_EQ(semaphore.getFreeUnits(), 3);
}

TEST(MutexTest, ReentrantAndExclusive) {
  zel::CMutex mutex;
  long counter = 0;  // guarded by mutex
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5000; ++i) {
        zel::CMutexLock outer(mutex);
        zel::CMutexLock inner(&mutex);
        ++counter;
      }
    });
  }
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(counter, 4 * 5000);
  EXPECT_THROW({ zel::CMutexUnlock unlocked(mutex); }, zel::CError) << "not held";
}

// CMutexUnlock lets every level go and waits for the mutex to come back.
TEST(MutexTest, UnlockReleasesEveryLevelAndRestoresThem) {
  zel::CMutex mutex;
  zel::CMutexLock first(mutex);
  zel::CMutexLock second(mutex);
  CSignal otherHolds;
  CSignal letGo;
  std::atomic<bool> restored{false};
  std::thread other;
  {
    zel::CMutexUnlock unlocked(mutex);
    EXPECT_FALSE(mutex.isHeldByCurrentThread());
    other = std::thread([&] {
      zel::CMutexLock lock(mutex);  // would wait forever with a level still held
      otherHolds.set();
      letGo.wait(-1);
      EXPECT_FALSE(restored.load());
    });
    ASSERT_TRUE(otherHolds.wait(-1));
    letGo.set();
  }
  restored = true;
  other.join();
  mutex.unlock();  // both levels came back: one unlock leaves it held
  bool otherGot = true;
  std::thread([&] { otherGot = mutex.tryLock(); }).join();
  EXPECT_FALSE(otherGot);
  mutex.lock();
}

TEST(MutexDeathTest, UnlockByANonOwnerAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        zel::CMutex mutex;
        mutex.unlock();
      },
      "does not hold it");
}

class CWorker : public zel::CThread {
 public:
  void run() override {
    started.set();
    while (checkContinue())
      waitForStopRequest(-1);
  }
  void onRunFinished() override { finished.set(); }
  CSignal started;
  CSignal finished;
};

TEST(ThreadTest, StopWaitsForTheEndAndAThreadStartsOnce) {
  P<CWorker> worker = zel::make<CWorker>();
  worker->start();
  EXPECT_THROW(worker->start(), zel::CError);
  ASSERT_TRUE(worker->started.wait(-1));
  worker->stop(true);
  EXPECT_TRUE(worker->finished.isSet()) << "stop(true) returned before the end";
  EXPECT_TRUE(worker->waitFinished(0));
  worker->stop(true);
  EXPECT_THROW(worker->start(), zel::CError);
  zel::make<CWorker>()->stop(true);  // never started: returns

  P<CWorker> signalled = zel::make<CWorker>();
  signalled->start();
  signalled->signalStop();
  EXPECT_TRUE(signalled->waitFinished(-1));
}

class CThrowingThread final : public zel::CThread {
 public:
  CThrowingThread(int kind, P<CSignal> destroyed) : kind(kind), destroyed(std::move(destroyed)) {}
  ~CThrowingThread() override { destroyed->set(); }
  void run() override {
    go.wait(-1);
    if (kind == 0) throw zel::CError("run failed", "test", 3);
    if (kind == 1) throw std::runtime_error("std failure");
    throw 42;
  }
  void onRunFinished() override { finished.set(); }
  CSignal go;
  CSignal finished;

 private:
  int kind;
  P<CSignal> destroyed;
};

// A thread that throws is logged and still finishes; a running thread keeps its
// object alive after the owner let go.
TEST(ThreadTest, ExceptionsAreLoggedAndTheRunningThreadOwnsItsObject) {
  struct Collector {
    std::mutex mutex;
    std::vector<std::string> lines;
    zel::LogSink previous =
        zel::setLogSink([this](const String& message, const std::exception& e, const String&) {
          std::lock_guard<std::mutex> lock(mutex);
          lines.push_back(message.toUTF8() + ": " + e.what());
        });
    ~Collector() { zel::setLogSink(std::move(previous)); }
  } log;
  const char* expected[] = {"run failed [test, code 3]", "std failure", "Unhandled exception"};
  for (int kind = 0; kind < 3; ++kind) {
    P<CSignal> destroyed = zel::make<CSignal>();
    CSignal* go = nullptr;
    {
      P<CThrowingThread> thread = zel::make<CThrowingThread>(kind, destroyed);
      thread->start();
      go = &thread->go;
    }
    EXPECT_FALSE(destroyed->isSet());
    go->set();
    ASSERT_TRUE(destroyed->wait(-1));
    std::lock_guard<std::mutex> lock(log.mutex);
    ASSERT_EQ(log.lines.size(), static_cast<std::size_t>(kind + 1));
    EXPECT_NE(log.lines.back().find(expected[kind]), std::string::npos) << log.lines.back();
  }
}

// The thread stops itself while its owner stops it: neither waits for the other.
class CSelfStopper final : public zel::CThread {
 public:
  void run() override {
    started.set();
    waitForStopRequest(-1);
    for (int i = 0; i < 2000; ++i)
      stop(true);
  }
  CSignal started;
};

TEST(ThreadTest, StopOnItselfWhileTheOwnerStopsIt) {
  for (int round = 0; round < 20; ++round) {
    P<CSelfStopper> thread = zel::make<CSelfStopper>();
    thread->start();
    ASSERT_TRUE(thread->started.wait(-1));
    thread->stop(true);
    EXPECT_TRUE(thread->waitFinished(0));
  }
}

TEST(MTRandTest, RepeatableBoundedAndFillsExactly) {
  zel::CMTRand a(12345);
  zel::CMTRand b(12345);
  zel::CMTRand high(12345ull | (1ull << 40));
  bool differs = false;
  for (int i = 0; i < 100; ++i) {
    const auto x = a.randInt();
    ASSERT_EQ(x, b.randInt());
    differs |= x != high.randInt();
  }
  EXPECT_TRUE(differs) << "the seed's high half is ignored";
  EXPECT_THROW(a.randBelow(0), zel::CInvalidArgError);
  bool sawTop = false;
  for (int i = 0; i < 1000; ++i) {
    const auto v = a.randBelow(3);
    ASSERT_LT(v, 3u);
    sawTop |= v == 2;
  }
  EXPECT_TRUE(sawTop);
  for (std::size_t n = 0; n < 19; ++n) {
    std::vector<unsigned char> exact(n + 1, 0xA5);  // one guard byte
    a.randData(exact.data(), n);
    EXPECT_EQ(exact[n], 0xA5) << n;
  }
}

}  // namespace
}  // namespace fleck::test
