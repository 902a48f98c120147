#include "fleck/CFleck.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iterator>

#include "zel/CFileSystemError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CTime.h"
#include "zel/Log.h"

namespace fleck {

namespace {

constexpr int kPoolBuffers = 20;
constexpr int kSlotPollMs = 50;
// Looks again at the nearer folders of a chain after a load (see
// loadFleckPayloadFromStoreOrFolders).
constexpr int kMaxRecheckRounds = 64;

bool isAllZero(const zel::TBuffer<unsigned char>& bytes) {
  const std::size_t n = bytes.getUsed();
  if (n == 0) return true;
  const unsigned char* p = bytes.getData();
  // The first byte is zero and every byte equals the one before it.
  return p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0;
}

}  // namespace

CFleck::CFleck(zel::IFileSystem* fs, const zel::CURI& diskFolder, const zel::CURI& childDiskFolder,
               const zel::TList<zel::CURI>& parentDiskFolders, const CFleckDiskHeader& header,
               const zel::TCryptBuffer<unsigned char>& key, int maxBackgroundOps)
    : fileSystem(fs),
      diskFolder(diskFolder),
      childDiskFolder(childDiskFolder),
      searchFolders(parentDiskFolders),
      header(header),
      maxBackgroundOps(maxBackgroundOps) {
  // With no slot at all, the first save would wait for a storer that cannot exist.
  if (maxBackgroundOps < 1) {
    throw zel::CInvalidArgError("fleck::CFleck", "maxBackgroundOps must be at least 1",
                                zel::CProps().add("maxBackgroundOps", maxBackgroundOps));
  }
  searchFolders.addFirst(diskFolder);
  digitWidth = computeDigitWidth(header.getObjectsPerTreeLevel());
  levelDigits.resize(static_cast<std::size_t>(std::max(header.getTreeLevels(), 0)));
  preparer = zel::make<CFleckDataPreparer>(header, key);
  preparedBufferSize = CFleckDataPreparer::getMaxRecordSize(header.getFleckSize());
  preparedBufferPool = zel::make<zel::CMemPool>(
      kPoolBuffers, static_cast<std::size_t>(preparedBufferSize), zel::CMemPool::FlagLazy);

  // The record of an all-zero fleck, for children that must keep zeros for a fleck.
  zel::TBuffer<unsigned char> zeros;
  zeros.setUsed(static_cast<std::size_t>(header.getFleckSize()));
  std::memset(zeros.getData(), 0, zeros.getUsed());
  zeroFleckPrepared = preparedBufferPool->checkOutItem();
  preparer->prepareData(zeros, *zeroFleckPrepared);
}

CFleck::~CFleck() {
  try {
    backgroundSaveChanges();
  } catch (const std::exception& e) {
    zel::onExceptionInDestructorIgnored("fleck::CFleck", e, true);
  }
  // Also after a failed save: storers that outlive the object would report to no one.
  try {
    waitUntilBackgroundSavesDone(-1);
  } catch (const std::exception& e) {
    zel::onExceptionInDestructorIgnored("fleck::CFleck", e, true);
  }
}

void CFleck::seek(std::int64_t index, int position) {
  // Reads and writes copy from the position on; before the payload there is nothing.
  if (position < 0) {
    throw zel::CInvalidArgError("fleck::CFleck::seek", "negative position in fleck",
                                zel::CProps().add("position", position));
  }
  if (index != fleckIndex) {
    backgroundSaveChanges();
    fleckIndex = index;
    payloadLoaded = false;
  }
  positionInFleck = position;
}

int CFleck::readLaxInsideFleck(void* data, int count) {
  if (!payloadLoaded) loadFleckPayload();
  const std::int64_t left = static_cast<std::int64_t>(payload.getUsed()) - positionInFleck;
  const int n = static_cast<int>(std::clamp<std::int64_t>(left, 0, std::max(count, 0)));
  if (n != 0) std::memcpy(data, payload.getData() + positionInFleck, static_cast<std::size_t>(n));
  positionInFleck += n;
  return n;
}

int CFleck::writeLaxInsideFleck(const void* data, int count) {
  int n;
  if (positionInFleck == 0 && count == header.getFleckSize()) {
    payload.setUsed(static_cast<std::size_t>(count));
    std::memcpy(payload.getData(), data, static_cast<std::size_t>(count));
    payloadLoaded = true;
    n = count;
  } else {
    if (!payloadLoaded) loadFleckPayload();
    const std::int64_t left = static_cast<std::int64_t>(payload.getUsed()) - positionInFleck;
    n = static_cast<int>(std::clamp<std::int64_t>(left, 0, std::max(count, 0)));
    if (n != 0) std::memcpy(payload.getData() + positionInFleck, data, static_cast<std::size_t>(n));
  }
  positionInFleck += n;
  if (n > 0) dirty = true;
  return n;
}

zel::CURI CFleck::getRelativeFleckURI() {
  return formRelativeFleckURI(fleckIndex, header.getObjectsPerTreeLevel(), header.getTreeLevels(),
                              digitWidth, levelDigits);
}

void CFleck::makeZeroPayload() {
  payload.setUsed(static_cast<std::size_t>(header.getFleckSize()));
  std::memset(payload.getData(), 0, payload.getUsed());
}

void CFleck::loadFleckPayload() {
  try {
    loadFleckPayloadFromStoreOrFolders();
  } catch (const std::exception& e) {
    zel::logError(e,
                  zel::String("Error loading fleck payload (diskFolder: ") +
                      diskFolder.toString(true) + zel::String(", fleckIndex: ") +
                      zel::String::fromInt64(fleckIndex) + zel::String("). Letting through."),
                  zel::String());
    throw;
  }
  payloadLoaded = true;
}

void CFleck::loadFleckPayloadFromStoreOrFolders() {
  if (const auto* running = storers.lookup(fleckIndex)) {
    // A store of this fleck has not been reaped: its record is the newest content.
    zel::PC<zel::TBuffer<unsigned char>> record = (*running)->getFleckData();
    if (record != nullptr) {
      payload.setUsed(0);
      preparer->unprepareData(*record, payload);
    } else {
      makeZeroPayload();
    }
    return;
  }
  const zel::CURI relative = getRelativeFleckURI();
  // The file being read or decoded, for the error of a damaged one.
  zel::CURI file;
  try {
    loadFromFolders(relative, file);
  } catch (const zel::CError& e) {
    // An embedder must be able to tell which fleck and which file are damaged: the
    // error keeps its class and words and gains both.
    zel::P<zel::CError> named = e.clone();
    if (!named->getProps().has("fleckIndex")) named->getProps().add("fleckIndex", fleckIndex);
    if (!file.isEmpty() && !named->getProps().has("fleckFile")) {
      named->getProps().add("fleckFile", file.toString(true));
    }
    named->throwClone();
  }
}

bool CFleck::findRecord(const zel::CURI& relative, zel::TBuffer<unsigned char>& record,
                        zel::CURI& file) {
  // The chain is a handful of folders: walking the list to an index costs nothing.
  auto folderAt = [this](int i) -> const zel::CURI& {
    return *std::next(searchFolders.begin(), i);
  };
  const int count = static_cast<int>(searchFolders.size());
  int found = -1;
  for (int i = 0; i < count && found < 0; ++i) {
    file = folderAt(i) << relative;
    if (readRecord(file, record)) found = i;
  }
  // The writer of a parent moves a fleck's old file into its child (or puts a record
  // there) before it replaces the fleck, and that can happen between two of the looks
  // above: then a nearer folder has the fleck now, and it holds what this disk reads.
  // Look again at the nearer folders until none of them has appeared. Files only move
  // towards the disk, so the loop ends; the bound only guards against a writer that
  // never rests.
  int limit = found >= 0 ? found : count - 1;
  for (int round = 0; limit > 0 && round < kMaxRecheckRounds; ++round) {
    int nearer = -1;
    for (int j = 0; j < limit && nearer < 0; ++j) {
      if (fileSystem->fileExists(folderAt(j) << relative)) nearer = j;
    }
    if (nearer < 0) break;
    const zel::CURI candidate = folderAt(nearer) << relative;
    if (readRecord(candidate, record)) {
      found = nearer;
      limit = nearer;
      file = candidate;
    }
  }
  if (found < 0) {
    file = zel::CURI();
    return false;
  }
  file = folderAt(found) << relative;
  return true;
}

void CFleck::checkWholeFleck(zel::TBuffer<unsigned char>& decoded) const {
  // Every stored payload is a whole fleck (the last one of a disk padded with zeros):
  // anything else is damage, found here rather than as a short read later.
  if (static_cast<std::int64_t>(decoded.getUsed()) != header.getFleckSize()) {
    const auto length = static_cast<std::int64_t>(decoded.getUsed());
    decoded.setUsed(0);
    throw zel::CError(
        zel::String("Fleck file is corrupted: its record holds ") + zel::String::fromInt64(length) +
            zel::String(" bytes instead of the fleck size."),
        zel::String(), -1,
        zel::CProps().add("decodedLength", length).add("fleckSize", header.getFleckSize()));
  }
}

void CFleck::loadFromFolders(const zel::CURI& relative, zel::CURI& file) {
  zel::P<zel::CMemPoolBuffer> record = preparedBufferPool->checkOutItem();
  if (!findRecord(relative, *record, file)) {
    makeZeroPayload();
    return;
  }
  payload.setUsed(0);
  preparer->unprepareData(*record, payload);
  checkWholeFleck(payload);
}

void CFleck::readFlecks(std::int64_t first, std::size_t count,
                        zel::TBuffer<unsigned char>* const* payloads) {
  if (batchRecords.size() < count) batchRecords.resize(count);
  std::vector<const zel::TBuffer<unsigned char>*> found;
  std::vector<zel::TBuffer<unsigned char>*> into;
  std::vector<std::size_t> which;
  std::vector<zel::CURI> files(count);
  const auto named = [&](std::size_t i, const zel::CError& e) {
    zel::P<zel::CError> error = e.clone();
    const std::int64_t index = first + static_cast<std::int64_t>(i);
    if (!error->getProps().has("fleckIndex")) error->getProps().add("fleckIndex", index);
    if (!files[i].isEmpty() && !error->getProps().has("fleckFile"))
      error->getProps().add("fleckFile", files[i].toString(true));
    zel::logError(*error,
                  zel::String("Error loading fleck payload (diskFolder: ") +
                      diskFolder.toString(true) + zel::String(", fleckIndex: ") +
                      zel::String::fromInt64(index) + zel::String("). Letting through."),
                  zel::String());
    error->throwClone();
  };
  for (std::size_t i = 0; i < count; ++i) {
    const zel::CURI relative =
        formRelativeFleckURI(first + static_cast<std::int64_t>(i), header.getObjectsPerTreeLevel(),
                             header.getTreeLevels(), digitWidth, levelDigits);
    try {
      if (findRecord(relative, batchRecords[i], files[i])) {
        found.push_back(&batchRecords[i]);
        into.push_back(payloads[i]);
        which.push_back(i);
        continue;
      }
    } catch (const zel::CError& e) {
      named(i, e);
    }
    payloads[i]->setUsed(static_cast<std::size_t>(header.getFleckSize()));
    std::memset(payloads[i]->getData(), 0, payloads[i]->getUsed());
  }
  std::vector<std::exception_ptr> errors(found.size());
  preparer->unprepareBatch(found.data(), into.data(), found.size(), errors.data());
  for (std::size_t k = 0; k < found.size(); ++k) {
    try {
      if (errors[k] != nullptr) std::rethrow_exception(errors[k]);
      checkWholeFleck(*into[k]);
    } catch (const zel::CError& e) {
      named(which[k], e);
    }
  }
}

bool CFleck::readRecord(const zel::CURI& file, zel::TBuffer<unsigned char>& record) {
  zel::P<zel::IIOStream> stream;
  try {
    stream =
        fileSystem->openStream(file, zel::IIOStream::AccessRead,
                               zel::IFileSystem::OpenExisting | zel::IFileSystem::OpenRegularOnly);
  } catch (const zel::CFileSystemError& e) {
    // Not in this folder: the caller tries the next one.
    if (e.getProblem() == zel::CFileSystemError::NotFound) return false;
    throw;
  }
  record.setUsed(static_cast<std::size_t>(preparedBufferSize));
  int got;
  try {
    got = stream->readLax(record.getData(), static_cast<int>(preparedBufferSize));
  } catch (const zel::CFileSystemError& e) {
    if (e.getProblem() == zel::CFileSystemError::NotFound) return false;
    throw;
  }
  // No record of this disk fills the buffer: a file that does is damaged, and is never
  // read further.
  if (got >= preparedBufferSize) {
    throw zel::CError("Fleck file is corrupted: it is longer than any record of its disk.",
                      zel::String(), -1,
                      zel::CProps()
                          .add("file", file.toString(true))
                          .add("maxRecordLength", preparedBufferSize - 1));
  }
  record.setUsed(static_cast<std::size_t>(got));
  return true;
}

bool CFleck::parentHolds(const zel::CURI& relative) {
  for (auto it = std::next(searchFolders.begin()); it != searchFolders.end(); ++it) {
    if (fileSystem->fileExists(*it << relative)) return true;
  }
  return false;
}

zel::PC<zel::TBuffer<unsigned char>> CFleck::recordForChild(const zel::CURI& relative) {
  // Without parents, or when the disk has its own file (which the storer moves into the
  // child), the child needs at most the zero record.
  if (searchFolders.size() < 2 || fileSystem->fileExists(diskFolder << relative)) {
    return zeroFleckPrepared;
  }
  // The disk reads this fleck from a parent, and so did the child until now: it keeps
  // that parent's record, as it is.
  auto record = zel::make<zel::TBuffer<unsigned char>>();
  for (auto it = std::next(searchFolders.begin()); it != searchFolders.end(); ++it) {
    if (readRecord(*it << relative, *record)) return record;
  }
  return zeroFleckPrepared;
}

void CFleck::setChildDiskFolder(const zel::CURI& folder) {
  childDiskFolder = folder;
}

void CFleck::backgroundSaveChanges() {
  if (!dirty) return;
  zel::P<zel::CMemPoolBuffer> record;
  if (!isAllZero(payload)) {
    record = preparedBufferPool->checkOutItem();
    record->setUsed(0);
    preparer->prepareData(payload, *record);
  }
  try {
    writePreparedFleckImpl(record.get(), nullptr);
  } catch (const zel::CError& e) {
    zel::logError(e, "Error initiating background fleck storing operation.", zel::String());
    backgroundErrors.add(Error{fleckIndex, e.clone()});
  }
  dirty = false;
}

zel::P<CFleckStorer> CFleck::writePreparedFleck(const zel::TBuffer<unsigned char>* record,
                                                zel::IDoneListener* listener) {
  zel::P<CFleckStorer> storer = writePreparedFleckImpl(record, listener);
  payload.setUsed(0);
  dirty = false;
  payloadLoaded = false;
  return storer;
}

zel::P<CFleckStorer> CFleck::writePreparedFleckImpl(const zel::TBuffer<unsigned char>* record,
                                                    zel::IDoneListener* listener) {
  if (const auto* earlier = storers.lookup(fleckIndex)) {
    // Stores of one fleck reach the file system one after the other, in order.
    const zel::P<CFleckStorer> waitFor = *earlier;
    waitFor->waitFinished(-1);
    handleFinishedStorers();
    if (storers.lookup(fleckIndex) != nullptr) {
      throw zel::CError(
          "INTERNAL ERROR: CFleck waited for storer to end, but the storer then was not removed.");
    }
  }
  waitForFreeBackgroundOpSlot(-1);
  const zel::CURI relative = getRelativeFleckURI();
  const zel::CURI childRelative = childDiskFolder.isEmpty() ? zel::CURI() : relative;
  // Removing the file of an all-zero fleck would let a parent's bytes show through
  // again: where a parent holds the fleck, the disk keeps the zero record instead.
  if (record == nullptr && searchFolders.size() > 1 && parentHolds(relative)) {
    record = zeroFleckPrepared.get();
  }
  const zel::PC<zel::TBuffer<unsigned char>> forChild =
      childDiskFolder.isEmpty() ? zeroFleckPrepared : recordForChild(relative);
  zel::P<CFleckStorer> storer =
      CFleckStorer::start(fileSystem, diskFolder, relative, childDiskFolder, childRelative, record,
                          forChild.get(), listener);
  storers.put(fleckIndex, storer);
  return storer;
}

void CFleck::handleFinishedStorers() {
  for (auto it = storers.begin(); it != storers.end();) {
    const zel::P<CFleckStorer>& storer = it->second;
    if (!storer->waitFinished(0)) {
      ++it;
      continue;
    }
    if (zel::PC<zel::CError> error = storer->getError(); error != nullptr) {
      zel::logError(*error, "Error during background fleck storing operation.", zel::String());
      backgroundErrors.add(Error{it->first, error});
    }
    it = storers.erase(it);
  }
}

bool CFleck::waitForFreeBackgroundOpSlot(int timeoutMs) {
  const bool limited = timeoutMs != -1;
  const zel::CTime deadline = zel::CTime::now() + zel::CTimeSpan::fromMillis(timeoutMs);
  handleFinishedStorers();
  while (storers.getCount() >= maxBackgroundOps) {
    int wait = kSlotPollMs;
    if (limited) {
      const std::int64_t left = (deadline - zel::CTime::now()).getMillis();
      if (left <= 0) break;
      wait = static_cast<int>(std::min<std::int64_t>(left, kSlotPollMs));
    }
    storers.begin()->second->waitFinished(wait);
    handleFinishedStorers();
  }
  return storers.getCount() < maxBackgroundOps;
}

bool CFleck::waitUntilBackgroundSavesDone(int timeoutMs) {
  const bool limited = timeoutMs != -1;
  const zel::CTime deadline = zel::CTime::now() + zel::CTimeSpan::fromMillis(timeoutMs);
  handleFinishedStorers();
  while (!storers.empty()) {
    const zel::P<CFleckStorer> first = storers.begin()->second;
    int wait = -1;
    if (limited) {
      const std::int64_t left = (deadline - zel::CTime::now()).getMillis();
      if (left < 0) return false;
      wait = static_cast<int>(std::min<std::int64_t>(left, INT32_MAX));
    }
    if (!first->waitFinished(wait)) return false;
    handleFinishedStorers();
  }
  return true;
}

bool CFleck::haveBackgroundErrors() {
  handleFinishedStorers();
  return !backgroundErrors.empty();
}

const zel::TList<CFleck::Error>& CFleck::getBackgroundErrorList() {
  handleFinishedStorers();
  return backgroundErrors;
}

int CFleck::getBackgroundSavesInProgress() {
  handleFinishedStorers();
  return static_cast<int>(storers.size());
}

int CFleck::computeDigitWidth(int objectsPerTreeLevel) {
  int width = 1;
  for (int v = objectsPerTreeLevel / 16; v > 0; v >>= 4)
    ++width;
  return width;
}

zel::CURI CFleck::formRelativeFleckURI(std::int64_t index, int objectsPerTreeLevel, int treeLevels,
                                       int digitWidth, zel::TArray<int>& levelDigits) {
  if (index < 0) {
    throw zel::CInvalidArgError("CFleck::getRelativeFleckURI", "negative fleck index",
                                zel::CProps().add("fleckIndex", index));
  }
  levelDigits.resize(static_cast<std::size_t>(treeLevels));
  std::int64_t rest = index;
  for (int level = 0; level < treeLevels; ++level) {
    levelDigits[static_cast<std::size_t>(level)] = static_cast<int>(rest % objectsPerTreeLevel);
    rest /= objectsPerTreeLevel;
  }
  if (rest != 0) {
    // The top level's digit would wrap around and name a fleck of the tree.
    throw zel::CInvalidArgError("CFleck::getRelativeFleckURI", "fleck index beyond the tree",
                                zel::CProps()
                                    .add("fleckIndex", index)
                                    .add("objectsPerTreeLevel", objectsPerTreeLevel)
                                    .add("treeLevels", treeLevels));
  }

  zel::CURI uri = zel::CURI() << "flecks";
  for (int level = treeLevels - 1; level >= 0; --level) {
    char hex[16];
    const auto digit = static_cast<unsigned>(levelDigits[static_cast<std::size_t>(level)]);
    const int length = static_cast<int>(std::to_chars(hex, hex + sizeof(hex), digit, 16).ptr - hex);
    zel::String component;
    if (level >= 1) component.push_back(static_cast<wchar_t>(0x60 + level));
    component.append(static_cast<std::size_t>(std::max(digitWidth - length, 0)), L'0');
    for (int i = 0; i < length; ++i)
      component.push_back(static_cast<wchar_t>(hex[i]));
    if (level == 0) component += L".fleck";
    uri = uri << component;
  }
  return uri;
}

}  // namespace fleck
