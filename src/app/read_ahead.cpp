// Presets read on a thread of their own while the scan converts and writes the ones before them.

#include "app/read_ahead.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>

namespace tunewright {

namespace {

// Room for the bytes of a batch of presets as they usually are (most are far smaller); one
// that does not fit the scan reads itself, as it reads any other.
// no-mutate(arithmetic,constant): a smaller store only has the scan read more presets itself
constexpr int32_t kStoreSize = 256 * 1024;

}  // namespace

// What the two threads share: a batch handed over and handed back, and how far its reads are.
struct ReadAhead::Shared {
  std::mutex mutex;
  std::condition_variable changed;
  const platform::Directory* directory = nullptr;  // while a batch is being read
  bool reading = false;                            // the thread owns the batch
  bool quit = false;
  std::atomic<bool> stop{false};  // the scan wants no more reads of this batch
  std::atomic<int> ready{0};      // entries the thread is done with
};

ReadAhead::ReadAhead()
    : store_(std::make_unique<unsigned char[]>(kStoreSize)), shared_(std::make_unique<Shared>()) {}

std::unique_ptr<ReadAhead> ReadAhead::launch() {
  std::unique_ptr<ReadAhead> ahead(new ReadAhead);
  try {
    ahead->thread_ = platform::startThread(run, ahead.get());
  } catch (const std::system_error&) {
    return nullptr;  // the scan reads each preset itself, as it does with -f
  }
  return ahead;
}

ReadAhead::~ReadAhead() {
  if (!thread_.joinable()) {
    return;
  }
  finish();
  {
    const std::lock_guard lock(shared_->mutex);
    shared_->quit = true;
  }
  shared_->changed.notify_all();
  thread_.join();
}

void ReadAhead::add(const char* path, std::size_t nameOffset) {
  Entry& entry = entries_[count_++];
  std::strncpy(entry.path, path, sizeof entry.path - 1);
  entry.path[sizeof entry.path - 1] = '\0';
  entry.nameOffset = nameOffset;
}

void ReadAhead::start(const platform::Directory& directory) {
  shared_->ready.store(0);
  shared_->stop.store(false);
  {
    const std::lock_guard lock(shared_->mutex);
    shared_->directory = &directory;
    shared_->reading = true;
  }
  shared_->changed.notify_all();
}

int32_t ReadAhead::take(int index, unsigned char* buffer, int32_t capacity,
                        platform::FileIdentity& identity) {
  // Mostly read already; else waited for, the store of ready and the wait under one lock, so
  // that no wake-up falls between the look and the wait.
  if (shared_->ready.load(std::memory_order_acquire) <= index) {
    std::unique_lock lock(shared_->mutex);
    shared_->changed.wait(lock,
                          [&] { return shared_->ready.load(std::memory_order_acquire) > index; });
  }
  const Entry& entry = entries_[index];
  if (entry.plain) {
    return shared_->directory->readFile(name(index), kGathered, buffer, capacity, identity);
  }
  identity = entry.identity;
  // no-mutate(relational): a file read here told a size above 0; only one emptied meanwhile,
  // which no test can time, reads as nothing
  if (entry.length < 0) {
    platform::noteFailure(entry.failure);
    return -1;
  }
  const int32_t length = std::min(entry.length, capacity);
  std::memcpy(buffer, store_.get() + entry.offset, static_cast<std::size_t>(length));
  return length;
}

void ReadAhead::finish() {
  shared_->stop.store(true);
  std::unique_lock lock(shared_->mutex);
  shared_->changed.wait(lock, [this] { return !shared_->reading; });
  count_ = 0;
}

void ReadAhead::run(void* self) {
  auto& ahead = *static_cast<ReadAhead*>(self);
  Shared& shared = *ahead.shared_;
  for (;;) {
    {
      std::unique_lock lock(shared.mutex);
      shared.changed.wait(lock, [&] { return shared.reading || shared.quit; });
      if (!shared.reading) {
        return;
      }
    }
    ahead.readBatch();
    {
      const std::lock_guard lock(shared.mutex);
      shared.reading = false;
    }
    shared.changed.notify_all();
  }
}

void ReadAhead::readBatch() {
  const platform::Directory& directory = *shared_->directory;
  int32_t stored = 0;  // no-mutate(constant): where the bytes begin decides only how many fit
  for (int i = 0; i < count_ && !shared_->stop.load(std::memory_order_relaxed); ++i) {
    Entry& entry = entries_[i];
    platform::clearFailure();
    const platform::InputFile file = directory.openFile(name(i), kGathered);
    entry.identity = file.identity();
    entry.length = -1;
    entry.failure = platform::failureCode();
    // A file that tells its size and fits is read here; any other the scan reads itself, as it
    // reads without a read-ahead, so that no more than one file is held open here.
    const int64_t size = entry.identity.size;
    entry.plain = file.isOpen() && !(size > 0 && size <= kStoreSize - stored);
    if (file.isOpen() && !entry.plain) {
      entry.offset = stored;
      entry.length = file.readWhole(store_.get() + stored, static_cast<int32_t>(size));
      entry.failure = platform::failureCode();
      stored += std::max(entry.length, 0);  // no-mutate(constant): a gap only takes room
    }
    {
      const std::lock_guard lock(shared_->mutex);
      shared_->ready.store(i + 1, std::memory_order_release);
    }
    shared_->changed.notify_all();
  }
}

}  // namespace tunewright
