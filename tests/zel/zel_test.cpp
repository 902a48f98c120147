// The base layer: buffers, secrets wiped, the buffer pool, the cache against a model,
// streams and the data encoding, thread primitives (threads meet through signals, never
// sleeps), error classes and the words they carry, text, and locations.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <list>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <typeinfo>
#include <vector>

#include "zel/CBufferStream.h"
#include "zel/CDataInStream.h"
#include "zel/CDataOutStream.h"
#include "zel/CError.h"
#include "zel/CFileSystemError.h"
#include "zel/CIOError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CMemPool.h"
#include "zel/CMutex.h"
#include "zel/CProps.h"
#include "zel/CSemaphore.h"
#include "zel/CSignal.h"
#include "zel/CStdExceptionError.h"
#include "zel/CThread.h"
#include "zel/CURI.h"
#include "zel/Log.h"
#include "zel/String.h"
#include "zel/TConstBufferSlice.h"
#include "zel/TCryptBuffer.h"
#include "zel/TMostRecentlyUsedCache.h"

namespace fleck::test {
namespace {

using Bytes = zel::TBuffer<unsigned char>;
using zel::CBufferStream;
using zel::CError;
using zel::CIOError;
using zel::CProps;
using zel::CSignal;
using zel::CURI;
using zel::P;
using zel::String;

std::string text(const Bytes& buffer) {
  return std::string(reinterpret_cast<const char*>(buffer.getData()), buffer.getUsed());
}

const unsigned char* raw(const char* s) {
  return reinterpret_cast<const unsigned char*>(s);
}

TEST(BuffersTest, GrowthKeepsContentsAndBoundsAreChecked) {
  Bytes buffer(raw("hello"), 5);
  buffer.setUsed(2);
  std::memcpy(buffer.getFreePtr(8), "de", 2);  // room for 8 behind what is used
  buffer.addUsed(2);
  EXPECT_EQ(text(buffer), "hede");
  // addUsed past the capacity throws and changes nothing; up to it is fine.
  const std::size_t room = buffer.getCapacity() - buffer.getUsed();
  EXPECT_THROW(buffer.addUsed(room + 1), zel::CError);
  EXPECT_THROW(buffer.addUsed(static_cast<std::size_t>(-1)), zel::CError);
  EXPECT_EQ(buffer.getUsed(), 4u);
  buffer.addUsed(room);
  // The source of assign and append may lie in the buffer's own storage.
  buffer.assign(raw("abcdefgh"), 8);
  buffer.assign(buffer.getData() + 2, 4);
  EXPECT_EQ(text(buffer), "cdef");
  buffer = Bytes(raw("abcd"), 4);
  buffer.append(buffer.getData(), 4);  // must grow, freeing the source
  buffer.append(buffer.getData() + 1, 2);
  EXPECT_EQ(text(buffer), "abcdabcdbc");

  P<Bytes> shared = zel::make<Bytes>(raw("0123456789"), 10);
  using Slice = zel::TConstBufferSlice<unsigned char>;
  const Slice part(shared, 3, 4);
  shared.reset();  // the slice keeps the buffer
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(part.getData()), part.getLength()), "3456");
  EXPECT_NO_THROW(Slice(part.getBuffer(), 10, 0));
  EXPECT_THROW(Slice(part.getBuffer(), 11, 0), zel::CError);
  EXPECT_THROW(Slice(part.getBuffer(), 5, 6), zel::CError);
  EXPECT_THROW(Slice(part.getBuffer(), 1, static_cast<std::size_t>(-1)), zel::CError);
}

// Records what TCryptBuffer wipes: the contents before, when it was zero after.
class CWatchedCryptBuffer final : public zel::TCryptBuffer<unsigned char> {
 public:
  CWatchedCryptBuffer(std::vector<std::string>& log, const char* s)
      : TCryptBuffer(raw(s), std::strlen(s)), log(log) {}
  ~CWatchedCryptBuffer() override { releaseStorage(); }
  std::vector<std::string>& log;

 protected:
  void discard(unsigned char* elements, std::size_t count) noexcept override {
    std::string before(reinterpret_cast<const char*>(elements), count);
    TCryptBuffer::discard(elements, count);
    const bool zero = std::all_of(elements, elements + count, [](auto b) { return b == 0; });
    log.push_back(zero ? before : "not wiped");
  }
};

TEST(BuffersTest, CryptBufferWipesWhatLeavesUse) {
  using Change = void (*)(CWatchedCryptBuffer&);
  const std::pair<Change, const char*> cases[] = {
      {[](CWatchedCryptBuffer& b) { b.setUsed(6); }, "-key"},
      {[](CWatchedCryptBuffer& b) { b.setUsed(9); }, "y"},
      {[](CWatchedCryptBuffer& b) { b.assign(raw("ab"), 2); }, "cret-key"},
      {[](CWatchedCryptBuffer& b) { b.clear(); }, "secret-key"},
      // Growth moves the contents and wipes the old storage whole.
      {[](CWatchedCryptBuffer& b) { b.setUsed(11); }, "secret-key"},
      {[](CWatchedCryptBuffer& b) { b.reserve(11); }, "secret-key"},
      {[](CWatchedCryptBuffer& b) { (void)b.getFreePtr(1); }, "secret-key"},
      {[](CWatchedCryptBuffer& b) { b.append(b.getData(), b.getUsed()); }, "secret-key"},
  };
  for (const auto& [change, wiped] : cases) {
    std::vector<std::string> log;
    CWatchedCryptBuffer secret(log, "secret-key");
    change(secret);
    EXPECT_EQ(log, std::vector<std::string>{wiped});
    EXPECT_TRUE(secret.getUsed() < 10 || std::memcmp(secret.getData(), "secret-key", 10) == 0);
  }
  std::vector<std::string> log;  // at the end the whole storage, spare room included
  {
    CWatchedCryptBuffer secret(log, "0123456789");
    secret.setUsed(4);
    std::memcpy(secret.getFreePtr(2), "XY", 2);  // written, never taken into use
    log.clear();
  }
  EXPECT_EQ(log, std::vector<std::string>{std::string("0123XY\0\0\0\0", 10)});
}

// A returned buffer comes back empty; lent buffers keep their pool alive.
TEST(MemPoolTest, BuffersComeBackEmptyAndKeepThePoolAlive) {
  P<zel::CMemPool> pool = zel::make<zel::CMemPool>(1, 16, zel::CMemPool::FlagLazy);
  P<zel::CMemPoolBuffer> buffer = pool->checkOutItem();
  const zel::CMemPoolBuffer* identity = buffer.get();
  buffer->append(raw("0123456789"), 10);
  buffer.reset();
  buffer = pool->checkOutItem();
  EXPECT_EQ(buffer.get(), identity);
  EXPECT_TRUE(buffer->isEmpty());
  pool.reset();
  buffer->append(raw("abc"), 3);
}

// Random operations on the cache and on a list model of it: the same keys in the same
// order, the same values, the same evictions.
TEST(MostRecentlyUsedCacheTest, BehavesLikeAListModel) {
  const char* seed = std::getenv("FLECK_TEST_SEED");
  SCOPED_TRACE(std::string("seed ") + (seed != nullptr ? seed : "20261206") + " (FLECK_TEST_SEED)");
  std::mt19937_64 random(seed != nullptr ? std::strtoull(seed, nullptr, 0) : 20261206);
  using Pairs = std::list<std::pair<int, int>>;
  for (int capacity : {0, 1, 3, 8}) {
    zel::TMostRecentlyUsedCache<int, int> cache(capacity, capacity != 3);
    zel::TMostRecentlyUsedCache<int, int>::EvictionList evicted;
    cache.setEvictionList(&evicted);
    Pairs model;  // most recent first
    Pairs modelEvicted;
    const auto trim = [&] {
      for (; model.size() > static_cast<std::size_t>(capacity); model.pop_back())
        modelEvicted.push_back(model.back());
    };
    for (int step = 0; step < 2000; ++step) {
      const int key = static_cast<int>(random() % 12);
      const auto it =
          std::find_if(model.begin(), model.end(), [key](const auto& e) { return e.first == key; });
      const bool present = it != model.end();
      switch (random() % 6) {
        case 0:
        case 1:
          cache.insert(key, step);
          if (present) model.erase(it);
          model.emplace_front(key, step);
          if (cache.isAutoTrim() && !present) trim();  // a replacement evicts nothing
          break;
        case 2: {
          const int* found = cache.lookup(key);
          ASSERT_EQ(found != nullptr ? *found : -1, present ? it->second : -1);
          if (present) model.splice(model.begin(), model, it);
          break;
        }
        case 3:
          ASSERT_EQ(cache.contains(key), present);  // no refresh
          break;
        case 4:
          ASSERT_EQ(cache.remove(key), present);  // not an eviction
          if (present) model.erase(it);
          break;
        default:
          cache.trim();
          trim();
      }
      std::vector<int> keys;
      for (const auto& e : model)
        keys.push_back(e.first);
      ASSERT_EQ(cache.getKeysMostRecentFirst(), keys) << "step " << step;
      ASSERT_EQ(Pairs(evicted.begin(), evicted.end()), modelEvicted) << "step " << step;
    }
  }
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
    const Bytes buffer(raw(data.data()), data.size());
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
    const Bytes buffer(raw(length), 4);
    CBufferStream stream(&buffer, CBufferStream::ReadOnly{});
    zel::CDataInStream in(&stream);
    expectIOError(code, [&] { in.readString(); });
  }
}

TEST(BufferStreamTest, ReadWriteSeekAndLength) {
  P<Bytes> buffer = zel::make<Bytes>(raw("0123456789"), 10);
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

// Runs until asked to stop, then throws or stops itself; reports its end after onRunFinished.
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
  const int then;
  const P<CSignal> destroyed;
};

// stop(true) waits for the end, also of a thread that stops itself; a thread starts once.
// What run throws is logged; the running thread keeps its object alive.
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

// what() carries message, source, code, properties and causes; a clone, thrown later
// from outside any handler, arrives as the most derived class with copies of its causes.
TEST(ErrorsTest, WhatAndClonesKeepEverything) {
  P<CError> root(new CError("disk gone", "device", 19, CProps().add("device", "sda")));
  const struct {
    P<CError> error;
    const char* what;
  } cases[] = {
      {root, "disk gone [device, code 19] {device=sda}"},
      {P<CError>(new CError("only a message")), "only a message"},
      {P<CError>(new CError("m", "", 3)), "m [code 3]"},
      {P<CError>(new zel::CInvalidArgError("f", "bad", CProps().add("a", -1))), "bad [f] {a=-1}"},
      {P<CError>(new zel::CIOError(zel::CIOError::EndOfStream, "short", {}, root.get())),
       "short [code 4] (caused by: disk gone [device, code 19] {device=sda})"},
      {zel::CStdExceptionError::exceptionToError(std::out_of_range("index 5")),
       "index 5 {exceptionType=St12out_of_range}"},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(c.error->what(), c.what);
    P<CError> saved = c.error->clone();
    try {
      saved->throwClone();
    } catch (const CError& thrown) {
      EXPECT_EQ(typeid(thrown), typeid(*c.error));
      EXPECT_STREQ(thrown.what(), c.what);
    }
  }
  CProps props;
  props.add("b", "1").add("a", "2").add("c", 3).add("a", "replaced");
  props.addAll(CProps().add("d", "4").add("b", "new"));
  props.add("max", std::numeric_limits<std::size_t>::max()).add("min", INT64_MIN);
  EXPECT_EQ(props.toString(), String("b=new, a=replaced, c=3, d=4, max=18446744073709551615, "
                                     "min=-9223372036854775808"));
}

TEST(ErrorsTest, FileSystemProblemTravelsInTheProperties) {
  using zel::CFileSystemError;
  const CFileSystemError error(CFileSystemError::NotFound,
                               CError("ENOENT", "open", 2, CProps().add("path", "/missing")));
  EXPECT_EQ(error.getProps().lookup("path"), String("/missing"));
  EXPECT_EQ(error.getMessage(),
            CFileSystemError::describe(CFileSystemError::NotFound) + String(": ENOENT"));
  const zel::CIOError wrapper(zel::CIOError::Unknown, "wrapped", error.getProps(), &error);
  EXPECT_EQ(CFileSystemError::getProblem(wrapper.getProps()), CFileSystemError::NotFound);
  EXPECT_EQ(CFileSystemError(CFileSystemError::Locked, error).getProblem(),
            CFileSystemError::Locked);
}

// A file name may hold a line break; it must not start a forged log line. A sink that
// logs itself must neither wait for itself nor recurse.
TEST(ErrorsTest, LogLinesStayOneLineAndSinksMayLog) {
  zel::LogSink previous = zel::setLogSink(zel::LogSink());
  const CError error("two\nlines", "zel::Test", -1, CProps().add("path", "/a\nforged\r\x01"));
  testing::internal::CaptureStderr();
  zel::logError(error, "Load failed", "fleck\t3");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Load failed: two\\nlines [zel::Test] {path=/a\\nforged\\r\\x01} (fleck\\t3)\n");
  std::vector<std::string> lines;
  zel::setLogSink([&](const String& message, const std::exception& e, const String&) {
    lines.push_back(message.toUTF8() + ": " + e.what());
    zel::logError(CError("inner"), "from the sink", String());
  });
  testing::internal::CaptureStderr();
  zel::onExceptionInDestructorIgnored("fleck::CDisk", CError("flush failed"), true);
  zel::onExceptionInDestructorIgnored("fleck::CQuiet", CError("not logged"), false);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "from the sink: inner\n");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].find("fleck::CDisk") != std::string::npos &&
              lines[0].find("flush failed") != std::string::npos)
      << lines[0];
  zel::setLogSink(std::move(previous));
}

// The first and last code point of every UTF-8 length, both ways; what cannot be
// encoded becomes U+FFFD, and malformed input gives one U+FFFD per bad byte.
TEST(TextTest, UTF8AtEveryLengthBoundaryAndMalformedInput) {
  const std::u32string points = {0x0,    0x7F,   0x80,   0x7FF,   0x800,
                                 0xD7FF, 0xE000, 0xFFFF, 0x10000, 0x10FFFF};
  const std::string utf8(
      "\0\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF\xF0\x90\x80\x80"
      "\xF4\x8F\xBF\xBF",
      26);
  const String text(points.begin(), points.end());
  EXPECT_EQ(text.toUTF8(), utf8);
  EXPECT_EQ(String::fromUTF8(utf8), text);
  const String unencodable = {0xD800, 0xDFFF, 0x110000, static_cast<wchar_t>(0xFFFFFFFF)};
  EXPECT_EQ(unencodable.toUTF8(), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  const std::pair<const char*, const char*> malformed[] = {{"\xC0\xAF", "??"},
                                                           {"\xE0\x80\xAF", "???"},
                                                           {"\xF0\x8F\xBF\xBF", "????"},
                                                           {"\xED\xA0\x80", "???"},
                                                           {"\xF4\x90\x80\x80", "????"},
                                                           {"\xF8\x88\x80\x80\x80", "?????"},
                                                           {"\xFE\xFF", "??"},
                                                           {"a\x80z", "a?z"},
                                                           {"a\xC3", "a?"},
                                                           {"\xE2\x82z", "??z"},
                                                           {"\xC3\xC3\xA9", "?\xC3\xA9"}};
  for (const auto& [bytes, expected] : malformed) {
    String replaced = String::fromUTF8(expected);  // '?' for U+FFFD
    std::replace(replaced.begin(), replaced.end(), L'?', L'\xFFFD');
    EXPECT_EQ(String::fromUTF8(bytes), replaced) << expected;
  }
}

TEST(TextTest, ParseInt64TakesDecimalAndPrefixedHexOnly) {
  const std::tuple<const char*, bool, std::int64_t> good[] = {
      {"-0", false, 0},        {"+17", false, 17},
      {"000123", false, 123},  {"+9223372036854775807", false, INT64_MAX},
      {"+0xaBc", true, 0xABC}, {"-9223372036854775808", false, INT64_MIN},
      {"0XFF", true, 255},     {"-0x8000000000000000", true, INT64_MIN},
  };
  for (const auto& [text, hex, value] : good)
    EXPECT_EQ(zel::parseInt64(text, hex), value) << text;
  EXPECT_EQ(String::fromInt64(INT64_MIN), String("-9223372036854775808"));
  EXPECT_THROW(zel::parseInt64("0x10", false), zel::CError);
  for (const char* bad : {"", "+", " 1", "1\n", "1.0", "--1", "1-", "ff", "0x", "0x0x1",
                          "9223372036854775808", "-9223372036854775809", "0x8000000000000000"}) {
    try {
      zel::parseInt64(bad, true);
      ADD_FAILURE() << "parsed " << bad;
    } catch (const CError& e) {
      EXPECT_EQ(e.getProps().lookup("text"), String(bad));  // the text travels along
    }
  }
}

// Scheme, authority, components and kind of a location, in one line.
std::string describe(const CURI& uri) {
  std::string out = uri.getScheme().toUTF8() + "|" + uri.getAuthority().toUTF8() + "|";
  for (const String& component : uri.getComponents())
    out += component.toUTF8() + ",";
  return out + (uri.isAbsolute() ? "|absolute" : "") + (uri.isLocal() ? "|local" : "");
}

TEST(URITest, ParsesTheTextForms) {
  const std::tuple<const char*, const char*, const char*> cases[] = {
      // text, its fields, escaped text
      {"", "||", ""},
      {"/", "|||absolute|local", "/"},
      {"S3://Bucket/a/b", "s3|Bucket|a,b,|absolute", "s3://Bucket/a/b"},  // the scheme only
      {"s3://bucket", "s3|bucket||absolute", "s3://bucket/"},             // is case-blind
      {"../a/b", "||..,a,b,", "../a/b"},
      {"/a//b/", "||a,b,|absolute|local", "/a/b"},  // a folder has one text form
      {"1s://x", "||1s:,x,", "1s:/x"},
      {"FILE:///a/b", "||a,b,|absolute|local", "/a/b"},
      {"file://", "|||absolute|local", "/"},
      {"file://server/a", "file|server|a,|absolute", "file://server/a"},
      {"/a%2Fb/caf%C3%A9", "||a/b,caf\xC3\xA9,|absolute|local", "/a%2Fb/caf\xC3\xA9"},
      {"/100%/%zz/a%4", "||100%,%zz,a%4,|absolute|local", "/100%25/%25zz/a%254"},
      {"s3://a%2Fb/x", "s3|a/b|x,|absolute", "s3://a%2Fb/x"},
  };
  for (const auto& [text, fields, escaped] : cases) {
    EXPECT_EQ(describe(CURI(text)), fields) << text;
    EXPECT_EQ(CURI(text).toString(true), String(escaped)) << text;
  }
  const CURI odd = CURI("/") << "x/y"
                             << "50%"
                             << "l\ni\x1F\x7F";
  EXPECT_EQ(odd.toString(true), String("/x%2Fy/50%25/l%0Ai%1F%7F"));
  EXPECT_EQ(odd.toString(false), String("/x/y/50%/l\ni\x1F\x7F"));
  EXPECT_EQ(CURI("s3://b/a").getParent(), CURI("s3://b/"));
  EXPECT_EQ(CURI("/").getParent(), CURI("/"));  // the root is its own parent
}

TEST(URITest, AppendingNormalizingAndLocalPaths) {
  const CURI base("s3://bucket/a");
  EXPECT_EQ(describe(base << "b/c"), "s3|bucket|a,b/c,|absolute");
  EXPECT_EQ(describe((base << CURI("b/../../c")).toNormalized()), "s3|bucket|c,|absolute");
  EXPECT_EQ(CURI("a/../..").toNormalized(), CURI(".."));  // only a relative one keeps ".."
  EXPECT_EQ(CURI("/a/../../b").toNormalized(), CURI("/b"));
  EXPECT_THROW((void)(base << String()), zel::CInvalidArgError);
  EXPECT_THROW((void)(base << CURI("/etc")), zel::CInvalidArgError);
  EXPECT_EQ(CURI("file:///caf%C3%A9/x y").toLocalPath(), "/caf\xC3\xA9/x y");
  EXPECT_EQ(describe(CURI::fromLocalPath("/a/%41//")), "||a,%41,|absolute|local");
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(CURI::fromLocalPath("x"), CURI::fromLocalPath(cwd) << "x");
  for (const CURI& bad : {CURI("s3://bucket/a"), CURI("file://server/a"), CURI("a/b"),
                          CURI("/") << "a/b", CURI("/") << String(L"a\0b", 3)})
    EXPECT_THROW(bad.toLocalPath(), zel::CInvalidArgError) << bad.toString(true);
}

// A child disk finds its parent through a relative location: from the base it must
// lead to the target, in its text form too.
TEST(URITest, RelativeLocationsLeadFromTheBaseToTheTarget) {
  // Target, base, and the relative location from the base.
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"/a/b", "/a/b", "."},
      {"/a/b/c", "/a/b", "c"},
      {"/a/x/y", "/a/b/c", "../../x/y"},
      {"/", "/a", ".."},
      {"S3://b/x", "s3://b/y", "../x"},
      {"s3://b/a%2Fb", "s3://b/", "a%2Fb"},
      {"file:///a/c", "/a/b", "../c"}};
  for (const auto& [target, base, expected] : cases) {
    const CURI relative = CURI(target).toRelative(CURI(base));
    EXPECT_EQ(relative.toString(true), String(expected)) << target << " from " << base;
    EXPECT_EQ((CURI(base) << CURI(relative.toString(true))).toNormalized(),
              CURI(target).toNormalized())
        << target << " from " << base;
  }
  for (const char* other : {"s3://other/a", "http://bucket/a", "/a", "a/b"})
    EXPECT_THROW(CURI("s3://bucket/a").toRelative(CURI(other)), zel::CError) << other;
  EXPECT_THROW(CURI("a/b").toRelative(CURI("/a")), zel::CError);
}

}  // namespace
}  // namespace fleck::test
