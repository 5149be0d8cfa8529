// The one sequence of every read of a preset and every write of an output, the same on every
// system: the order of the looks, the checks and the steps, over the steps each system
// implements (system_calls.h). Nothing here calls the system itself.

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/platform.h"
#include "platform/system_calls.h"

namespace tunewright::platform {

namespace {

// The longest chain of symbolic links followed to the file an output replaces.
constexpr int kMaxLinks = 40;  // no-mutate(constant): as the system's own bound, near enough

// The size of each read that compares a file with what is to be written.
// no-mutate(constant): pieces of any size compare the same bytes
constexpr int64_t kComparedPiece = 65536;

uint64_t totalLength(Pieces pieces) {
  uint64_t total = 0;
  for (const Piece& piece : pieces) {
    total += piece.length;
  }
  return total;
}

// Reads exactly length bytes at offset of file; false when fewer are there.
bool readExactly(Handle file, uint64_t offset, unsigned char* buffer, int64_t length) {
  return systemCalls.read(file, offset, buffer, length) == length;
}

// Whether the open file holds exactly the bytes of the pieces, and nothing after them.
bool fileHolds(Handle file, Pieces pieces) {
  static std::array<unsigned char, kComparedPiece> found;
  static std::array<unsigned char, kComparedPiece> wanted;
  uint64_t at = 0;
  for (const Piece& piece : pieces) {
    for (uint64_t done = 0; done < piece.length;) {
      const auto size = static_cast<int64_t>(std::min<uint64_t>(found.size(), piece.length - done));
      const auto count = static_cast<std::size_t>(size);
      const unsigned char* expected = piece.bytes + done;
      if (piece.file != nullptr) {
        // A source that cannot be read again leaves nothing to compare with.
        expected = readExactly(InputFileAccess::handle(*piece.file), piece.offset + done,
                               wanted.data(), size)
                       ? wanted.data()
                       : nullptr;
      }
      if (expected == nullptr || !readExactly(file, at, found.data(), size) ||
          std::memcmp(found.data(), expected, count) != 0) {
        return false;
      }
      done += count;
      at += count;
    }
  }
  // A file that grew meanwhile differs.
  unsigned char more = 0;
  // no-mutate(constant): the sizes were compared first; only growth since then shows here
  return systemCalls.read(file, at, &more, 1) == 0;
}

// A file opened for reading, closed on every way out.
class OpenFile {
 public:
  explicit OpenFile(Handle handle) : handle_(handle) {}
  ~OpenFile() {
    if (handle_ != kNoHandle) {
      systemCalls.close(handle_);
    }
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;

  void reset(Handle handle) {
    close();
    handle_ = handle;
  }
  Handle get() const { return handle_; }
  bool valid() const { return handle_ != kNoHandle; }
  // Closes it now: Windows renames nothing over a file held open.
  void close() {
    if (handle_ != kNoHandle) {
      systemCalls.close(std::exchange(handle_, kNoHandle));
    }
  }

 private:
  Handle handle_;
};

// The temporary file of one write: discarded on every way out unless it took its name.
class TemporaryFile {
 public:
  explicit TemporaryFile(Handle directory) : directory_(directory) {}
  ~TemporaryFile() { systemCalls.discard(temporary_, directory_); }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  WriteOutcome make(Handle original, const FileIdentity& source, bool replacing) {
    return systemCalls.makeTemporary(directory_, original, source, replacing, temporary_);
  }
  bool write(Pieces pieces) {
    return std::all_of(pieces.begin(), pieces.end(),
                       [this](const Piece& piece) { return systemCalls.write(temporary_, piece); });
  }
  Temporary& get() { return temporary_; }

 private:
  Handle directory_;
  Temporary temporary_;
};

// Whether every file the pieces copy from is still as it was opened: one written to meanwhile
// would have given the output a mix of old and new bytes.
bool sourcesUnchanged(Pieces pieces) {
  return std::all_of(pieces.begin(), pieces.end(), [](const Piece& piece) {
    FileIdentity now;
    return piece.file == nullptr ||
           (systemCalls.identify(InputFileAccess::handle(*piece.file), now) &&
            now == piece.file->identity());
  });
}

}  // namespace

InputFile::~InputFile() {
  if (isOpen()) {
    systemCalls.close(handle_);
  }
}

InputFile::InputFile(InputFile&& other) noexcept
    : handle_(std::exchange(other.handle_, kNone)), identity_(other.identity_) {}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this != &other) {
    if (isOpen()) {
      systemCalls.close(handle_);
    }
    handle_ = std::exchange(other.handle_, kNone);
    identity_ = other.identity_;
  }
  return *this;
}

int64_t InputFile::read(uint64_t offset, unsigned char* buffer, int64_t length) const {
  // no-mutate(constant): any negative number is a failure
  return isOpen() ? systemCalls.read(handle_, offset, buffer, length) : -1;
}

void InputFile::close() {
  if (isOpen()) {
    systemCalls.close(std::exchange(handle_, kNone));
  }
}

InputFile Directory::openFile(const char* name, EntryKind kind) const {
  InputFile file;
  if (!isOpen() || kind == EntryKind::kSpecial || kind == EntryKind::kDirectory) {
    return file;  // no-mutate(drop-return): the step refuses them too; this saves it a look
  }
  // A name the listing called a file is taken only as what it is now, not followed if it has
  // become a link since; any other name (a link, or one named by the user) is followed.
  FileIdentity identity;
  const Handle handle = systemCalls.openToRead(handle_, name, kind != EntryKind::kFile, identity);
  if (handle != kNoHandle) {
    InputFileAccess::adopt(file, handle, identity);
  }
  return file;
}

int32_t InputFile::readWhole(unsigned char* buffer, int32_t capacity) const {
  // The size saves the read that would only report the end; a file still growing is read as
  // far as it was, and one that reports no size (as files of /proc do) to its end.
  const int64_t size = identity_.size;
  // no-mutate(relational): a size equal to the capacity reads as much either way, and only files
  // that tell no size (none a preset could be) are read to their end from 0
  const int32_t wanted = size > 0 && size < capacity ? static_cast<int32_t>(size) : capacity;
  // Fewer bytes only where the file ends: one that shrank is read as far as it goes.
  return static_cast<int32_t>(read(0, buffer, wanted));
}

int32_t Directory::readFile(const char* name, EntryKind kind, unsigned char* buffer,
                            int32_t capacity, FileIdentity& identity) const {
  const InputFile file = openFile(name, kind);
  if (!file.isOpen()) {
    return -1;
  }
  identity = file.identity();
  return file.readWhole(buffer, capacity);
}

OutputState Output::locate(const Directory& directory, const char* relativePath) {
  directory_ = &directory;
  own_ = Directory();
  state_ = OutputState::kUnreachable;
  if (!directory.isOpen()) {
    return state_;
  }
  // The directories a prefix names, one component at a time, each relative to the one before
  // and never through a link.
  const auto isSeparator = [](char c) { return c == '/' || c == '\\'; };
  std::string_view rest(relativePath);
  for (auto separator = std::find_if(rest.begin(), rest.end(), isSeparator);
       separator != rest.end(); separator = std::find_if(rest.begin(), rest.end(), isSeparator)) {
    const std::string component(rest.begin(), separator);
    rest.remove_prefix(static_cast<std::size_t>(separator - rest.begin()) + 1);
    if (component.empty() || component == ".") {
      continue;
    }
    OpenedDirectory next;
    const OutputState opened =
        systemCalls.openDirectory(DirectoryAccess::handle(*directory_), component, next);
    if (opened != OutputState::kNothing) {
      state_ = opened;
      return state_;
    }
    DirectoryAccess::adopt(own_, next);
    directory_ = &own_;
  }
  name_.assign(rest);
  if (name_.empty() || name_ == "." || name_ == "..") {
    return state_;
  }
  state_ = systemCalls.checkName(name_);
  return state_;
}

OutputState Output::examine(bool followLink) {
  // Each link leads on from where it is, as the system follows it; a chain ends somewhere.
  // no-mutate(relational,constant): a chain without end is refused whatever the bound, which only
  // mirrors the system's own
  for (int links = 0; links <= kMaxLinks; ++links) {
    const Look look = systemCalls.look(DirectoryAccess::handle(*directory_), name_);
    found_ = look.identity;
    state_ = look.state;
    if (state_ != OutputState::kLink || !followLink) {
      return state_;
    }
    OpenedDirectory next;
    std::string nextName;
    if (!systemCalls.followLink(DirectoryAccess::handle(*directory_), name_, next, nextName)) {
      break;
    }
    if (next.handle != kNoHandle) {
      DirectoryAccess::adopt(own_, next);
      directory_ = &own_;
    }
    name_ = std::move(nextName);
    if (name_.empty() || name_ == "." || name_ == "..") {
      state_ = OutputState::kNotAFile;
      return state_;
    }
  }
  state_ = OutputState::kUnreachable;
  return state_;
}

bool Output::holds(Pieces pieces) {
  if (state_ != OutputState::kFile && state_ != OutputState::kReadOnlyFile) {
    return false;  // no-mutate(drop-return): asked of files only, and the open below refuses
  }
  FileIdentity identity;
  const Handle at = DirectoryAccess::handle(*directory_);
  // no-mutate(negation): a link found here is not the file found, which the check refuses
  const OpenFile file(systemCalls.openToRead(at, name_.c_str(), false, identity));
  return file.valid() && identity.sameFile(found_) &&
         identity.size == static_cast<int64_t>(totalLength(pieces)) &&
         fileHolds(file.get(), pieces);
}

bool Output::mayMakeFiles() const {
  return state_ != OutputState::kUnreachable &&
         systemCalls.mayMakeFiles(DirectoryAccess::handle(*directory_));
}

WriteOutcome Output::create(Pieces pieces, const FileIdentity& source) {
  if (state_ != OutputState::kNothing) {
    // no-mutate(drop-return): asked only where nothing was found; a name taken meanwhile is
    // refused where the file is named
    return WriteOutcome::kCannotCreate;
  }
  const Handle at = DirectoryAccess::handle(*directory_);
  TemporaryFile temporary(at);
  const WriteOutcome made = temporary.make(kNoHandle, source, false);
  if (made != WriteOutcome::kWritten) {
    return made;
  }
  // Not flushed: a new output is not worth a wait for the disk, nothing having been at its name.
  if (!temporary.write(pieces)) {
    // A file the pieces copy from that shrank meanwhile ends the copy early.
    return sourcesUnchanged(pieces) ? WriteOutcome::kWriteFailed : WriteOutcome::kChanged;
  }
  if (!sourcesUnchanged(pieces)) {
    return WriteOutcome::kChanged;
  }
  return systemCalls.keepAsNew(temporary.get(), at, name_);
}

WriteOutcome Output::replace(Pieces pieces, const FileIdentity& expected,
                             const FileIdentity& source) {
  if (state_ != OutputState::kFile && state_ != OutputState::kLink) {
    return WriteOutcome::kCannotCreate;
  }
  // Nothing is made, opened for writing or given attributes before the file found is known to
  // be the one meant, unchanged: a preset swapped for a link since it was read leads elsewhere.
  if (!(found_ == expected)) {
    return WriteOutcome::kChanged;
  }
  const Handle at = DirectoryAccess::handle(*directory_);
  // A file's owner, rules and attributes come from the file itself, opened without following a
  // link and checked to be the one found. A link is replaced by a new file, and what it named
  // is left alone.
  OpenFile original(kNoHandle);
  if (state_ == OutputState::kFile) {
    FileIdentity opened;
    // no-mutate(negation): a link found here is not the file found, which the check refuses
    original.reset(systemCalls.openToRead(at, name_.c_str(), false, opened));
    if (!original.valid()) {
      return WriteOutcome::kCannotCreate;
    }
    if (!opened.sameFile(found_)) {
      return WriteOutcome::kChanged;
    }
  }
  TemporaryFile temporary(at);
  const WriteOutcome made = temporary.make(original.get(), source, true);
  if (made != WriteOutcome::kWritten) {
    return made;
  }
  if (!temporary.write(pieces)) {
    // A file the pieces copy from that shrank meanwhile ends the copy early.
    return sourcesUnchanged(pieces) ? WriteOutcome::kWriteFailed : WriteOutcome::kChanged;
  }
  if ((original.valid() && !systemCalls.carryMetadata(original.get(), temporary.get())) ||
      !systemCalls.flush(temporary.get())) {
    return WriteOutcome::kWriteFailed;
  }
  original.close();
  // A save made meanwhile is not lost: what is at the name must still be what was expected,
  // unchanged, and so must what the output was copied from.
  const Look now = systemCalls.look(at, name_);
  if (!(now.identity == expected) || !sourcesUnchanged(pieces)) {
    return WriteOutcome::kChanged;
  }
  for (const Piece& piece : pieces) {
    if (piece.file != nullptr) {
      piece.file->close();
    }
  }
  if (!systemCalls.replace(temporary.get(), at, name_)) {
    return WriteOutcome::kWriteFailed;
  }
  return systemCalls.makeDurable(temporary.get(), at, DirectoryAccess::syncable(*directory_))
             ? WriteOutcome::kWritten
             : WriteOutcome::kWriteFailed;
}

}  // namespace tunewright::platform
