// The buffer stream's read, write and seek rules, the portable data encoding, and the
// thread primitives. Threads meet through signals and latches, never through sleeps;
// no test asserts on how long something took.

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
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
#include "zel/CMutex.h"
#include "zel/CSemaphore.h"
#include "zel/CSignal.h"
#include "zel/CThread.h"
#include "zel/Log.h"

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

// Little-endian two's complement; a string is its UTF-8 byte count, then the bytes.
TEST(DataStreamTest, EncodingRoundTripAndTruncationAtEveryByte) {
  const std::string record(
      "\xFE\xFF\x00\x00\x00\x80\x08\x07\x06\x05\x04\x03\x02\x01"
      "\x05\x00\x00\x00"
      "caf\xC3\xA9\x03\x00\x00\x00"
      "a\0b",
      30);
  CBufferStream written;
  {
    zel::CDataOutStream out(&written);
    out.writeInt16(-2);
    out.writeInt32(std::numeric_limits<std::int32_t>::min());
    out.writeInt64(0x0102030405060708);
    out.writeString(String("caf\xC3\xA9"));
    out.writeString(String(L"a\0b", 3));
  }
  EXPECT_EQ(text(*written.getBuffer()), record);
  const auto read = [](const std::string& data) {
    const Bytes buffer(reinterpret_cast<const unsigned char*>(data.data()), data.size());
    CBufferStream stream(&buffer, CBufferStream::ReadOnly{});
    zel::CDataInStream in(&stream);
    EXPECT_EQ(in.readInt16(), -2);
    EXPECT_EQ(in.readInt32(), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(in.readInt64(), 0x0102030405060708);
    EXPECT_EQ(in.readString(), String("caf\xC3\xA9"));
    EXPECT_EQ(in.readString(), String(L"a\0b", 3));
    EXPECT_TRUE(stream.isEndOfStream());
  };
  read(record);
  for (std::size_t cut = 0; cut < record.size(); ++cut)
    expectIOError(CIOError::EndOfStream, [&] { read(record.substr(0, cut)); });
  // A negative string length is damage; a huge one on a short stream ends it.
  for (const auto& [length, code] : {std::pair{"\xFF\xFF\xFF\xFF", CIOError::InvalidData},
                                     std::pair{"\xFF\xFF\xFF\x7F", CIOError::EndOfStream}}) {
    const Bytes buffer(reinterpret_cast<const unsigned char*>(length), 4);
    CBufferStream stream(&buffer, CBufferStream::ReadOnly{});
    zel::CDataInStream in(&stream);
    expectIOError(code, [&] { in.readString(); });
  }
}

TEST(BufferStreamTest, ReadWriteSeekAndLength) {
  P<Bytes> buffer = zel::make<Bytes>(reinterpret_cast<const unsigned char*>("0123456789"), 10);
  CBufferStream stream(buffer);
  stream.write("ab", 2, nullptr);  // from the start
  stream.seek(9);
  stream.write("XYZ", 3, nullptr);  // overwrites one byte, appends two
  EXPECT_EQ(text(*buffer), "ab2345678XYZ");
  char out[16] = {};
  stream.seek(10);
  EXPECT_EQ(stream.readLax(out, 16), 2);
  EXPECT_EQ(std::string(out, 2), "YZ");
  EXPECT_TRUE(stream.isEndOfStream());
  stream.seek(12);  // the end itself is a valid position
  expectIOError(CIOError::InvalidPosition, [&] { stream.seek(13); });
  expectIOError(CIOError::InvalidPosition, [&] { stream.seek(-1); });
  stream.seek(10);
  expectIOError(CIOError::EndOfStream, [&] { stream.read(out, 3); });
  EXPECT_THROW(stream.read(out, -1), zel::CInvalidArgError);
  stream.setLength(4);  // clamps the position, then grows with zeros
  EXPECT_EQ(stream.getPosition(), 4);
  stream.setLength(6);
  EXPECT_EQ(text(*buffer), std::string("ab23\0\0", 6));
  stream.close();
  expectIOError(CIOError::StreamClosed, [&] { stream.read(out, 1); });
  expectIOError(CIOError::StreamClosed, [&] { stream.write("x", 1, nullptr); });
  CBufferStream readOnly(buffer.get(), CBufferStream::ReadOnly{});
  expectIOError(CIOError::NotSupported, [&] { readOnly.write("x", 0, nullptr); });
}

// Long enough never to run out on a loaded machine; no successful wait depends on it.
constexpr int kGenerousMs = 60000;

// One set releases every waiter and stays set; the semaphore never admits more holders
// than it has units.
TEST(SignalTest, ManualResetSignalAndCountingSemaphore) {
  CSignal signal;
  EXPECT_FALSE(signal.wait(5));
  zel::CSemaphore semaphore(1);
  EXPECT_TRUE(semaphore.take(-1));
  EXPECT_FALSE(semaphore.take(2));
  semaphore.give(3);
  EXPECT_THROW(semaphore.give(-1), zel::CInvalidArgError);
  std::atomic<int> inside{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      EXPECT_TRUE(t % 2 == 0 ? signal.wait(-1) : signal.wait(kGenerousMs));
      for (int i = 0; i < 500; ++i) {
        EXPECT_TRUE(semaphore.take(kGenerousMs));
        EXPECT_LE(++inside, 3) << "more holders than units";
        --inside;
        semaphore.give();
      }
    });
  }
  signal.set();
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(semaphore.getFreeUnits(), 3);
  EXPECT_TRUE(signal.wait(0));  // waiting does not consume it
  signal.reset();
  EXPECT_FALSE(signal.wait(1));
}

// The mutex is reentrant and exclusive; CMutexUnlock lets every level go and waits for
// the mutex to come back before it restores them.
TEST(MutexTest, ExclusiveReentrantAndUnlockRestoresEveryLevel) {
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
  zel::CMutexLock first(mutex);
  zel::CMutexLock second(mutex);
  CSignal otherHolds;
  std::thread other;
  {
    zel::CMutexUnlock unlocked(mutex);
    other = std::thread([&] {
      zel::CMutexLock lock(mutex);  // would wait forever with a level still held
      otherHolds.set();
      ++counter;
    });
    ASSERT_TRUE(otherHolds.wait(-1));
  }  // relocking waits for the other thread to let go
  EXPECT_EQ(counter, 4 * 5000 + 1);
  other.join();
  mutex.unlock();  // both levels came back: one unlock leaves it held
  std::thread([&] { EXPECT_FALSE(mutex.tryLock()); }).join();
  mutex.lock();
}

// Runs until asked to stop, then throws or stops itself as told; tells when it is
// destroyed after onRunFinished ran.
class CWorker : public zel::CThread {
 public:
  CWorker(int then, P<CSignal> destroyed) : then(then), destroyed(std::move(destroyed)) {}
  ~CWorker() override {
    if (finished.isSet()) destroyed->set();
  }
  void run() override {
    started.set();
    while (checkContinue())
      waitForStopRequest(-1);
    if (then == 1) throw zel::CError("run failed", "test", 3);
    if (then == 2) throw 42;
    for (int i = 0; then == 3 && i < 2000; ++i)
      stop(true);  // on itself: returns at once
  }
  void onRunFinished() override { finished.set(); }
  CSignal started;
  CSignal finished;

 private:
  const int then;
  const P<CSignal> destroyed;
};

// stop(true) waits for the end, also when the thread stops itself at the same time; a
// thread starts once. What run throws is logged and onRunFinished still runs; the
// running thread keeps its object alive after the owner let go.
TEST(ThreadTest, StopWaitsForTheEndAndTheThreadOwnsItsObject) {
  P<CWorker> worker = zel::make<CWorker>(0, zel::make<CSignal>());
  worker->start();
  EXPECT_THROW(worker->start(), zel::CError);
  ASSERT_TRUE(worker->started.wait(-1));
  worker->stop(true);
  EXPECT_TRUE(worker->finished.isSet()) << "stop(true) returned before the end";
  EXPECT_THROW(worker->start(), zel::CError);
  zel::make<CWorker>(0, zel::make<CSignal>())->stop(true);  // never started: returns
  for (int round = 0; round < 20; ++round) {
    worker = zel::make<CWorker>(3, zel::make<CSignal>());
    worker->start();
    ASSERT_TRUE(worker->started.wait(-1));
    worker->stop(true);
    EXPECT_TRUE(worker->waitFinished(0));
  }
  std::mutex mutex;
  std::vector<std::string> lines;  // guarded by mutex
  const zel::LogSink previous =
      zel::setLogSink([&](const String& m, const std::exception& e, auto&) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(m.toUTF8() + ": " + e.what());
      });
  const char* expected[] = {"run failed [test, code 3]", "Unhandled exception"};
  for (int then : {1, 2}) {
    P<CSignal> destroyed = zel::make<CSignal>();
    worker = zel::make<CWorker>(then, destroyed);
    worker->start();
    CWorker* running = worker.get();
    worker.reset();
    EXPECT_FALSE(destroyed->isSet());
    running->signalStop();  // alive until run returns
    ASSERT_TRUE(destroyed->wait(kGenerousMs));
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(then));
    EXPECT_NE(lines.back().find(expected[then - 1]), std::string::npos) << lines.back();
  }
  zel::setLogSink(previous);
}

}  // namespace
}  // namespace fleck::test
