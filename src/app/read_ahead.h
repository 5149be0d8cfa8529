#pragma once

// Presets read on a thread of their own while the scan converts and writes the ones before them.

#include <cstdint>
#include <memory>

#include "app/paths.h"
#include "platform/platform.h"

namespace tunewright {

// Where every system call costs microseconds, a bulk run spends as long reading its presets as
// writing their outputs: the scan gathers the presets a directory lists into a batch, and this
// reads them, in order, while the scan takes them one by one. The bytes a preset had when it was
// read are the same whenever it is read: the run writes only names that were free (it is not
// used with -f or -o), so no read of the batch can meet a file this run made or replaced.
class ReadAhead {
 public:
  static constexpr int kBatch = 64;

  // A read-ahead with its thread running, or none where the system starts no more threads.
  static std::unique_ptr<ReadAhead> launch();
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  int count() const { return count_; }
  bool full() const { return count_ == kBatch; }
  // Every preset gathered was listed as a file (or as what the listing could not tell, which is
  // opened only as a file).
  static constexpr platform::EntryKind kGathered = platform::EntryKind::kFile;

  // Adds the preset at path, which ends in its name.
  void add(const char* path, std::size_t nameOffset);
  // The path and name of the preset at index.
  const char* path(int index) const { return entries_[index].path; }
  const char* name(int index) const { return entries_[index].path + entries_[index].nameOffset; }

  // Starts reading the batch's presets, which lie in directory.
  void start(const platform::Directory& directory);
  // The preset at index (each in turn, from the first): its bytes, at most capacity, copied
  // into buffer, and its length; or -1 with the reason noted as this thread's failure.
  // identity is the file's as it was opened.
  int32_t take(int index, unsigned char* buffer, int32_t capacity,
               platform::FileIdentity& identity);
  // Lets the thread leave the batch, read or not, and empties it.
  void finish();

 private:
  struct Entry {
    char path[kMaxPath];
    std::size_t nameOffset;
    // What the thread found: the bytes at offset in the store; or a file the scan is to read
    // itself (plain), whose bytes did not fit; or -1 and the failure's code.
    int32_t length;
    int32_t offset;
    int failure;
    bool plain;
    platform::FileIdentity identity;
  };
  struct Shared;

  ReadAhead();
  static void run(void* self);
  void readBatch();

  Entry entries_[kBatch];
  int count_ = 0;
  std::unique_ptr<unsigned char[]> store_;
  std::unique_ptr<Shared> shared_;
  std::thread thread_;
};

}  // namespace tunewright
