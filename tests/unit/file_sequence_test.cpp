// The one sequence of an output's steps, run over a file system of the test's own: the order of
// the looks and checks, on POSIX's terms and on Windows', and a fault at every step.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/system_calls.h"

namespace tunewright::platform {
namespace {

// One directory of files in memory, whose steps log their names and fail where told to.
struct FakeSystem {
  std::map<std::string, std::string> files;  // name: contents
  std::map<std::string, uint64_t> inodes;
  std::vector<std::string> log;
  std::string failing;             // the step that fails
  bool renameOverOpenFile = true;  // POSIX renames over a file held open; Windows does not
  int openOriginals = 0;
  int temporaries = 0;  // made and not yet named or discarded
  std::string temporaryBytes;
  uint64_t nextInode = 100;
  // Changes the file at this name when the sequence looks at it for the second time.
  std::string savedMeanwhile;
  int looks = 0;
  // What a file the output copies from is when the sequence looks at it again.
  FileIdentity sourceNow;

  FileIdentity identityOf(const std::string& name) const {
    return {.volume = 1,
            .file = inodes.at(name),
            .size = static_cast<int64_t>(files.at(name).size()),
            .permissions = 0600};
  }
};

FakeSystem* fake = nullptr;

bool step(const char* name) {
  fake->log.emplace_back(name);
  return fake->failing != name;
}

constexpr Handle kDirectory = 7;
constexpr Handle kOriginal = 8;
constexpr Handle kTemporary = 9;

const SystemCalls kFakeCalls = {
    [](const std::string&) { return OutputState::kNothing; },
    [](Handle, const std::string&, OpenedDirectory&) { return OutputState::kNoDirectory; },
    [](Handle, const std::string& name) {
      Look look;
      if (!step("look")) {
        return look;
      }
      if (++fake->looks == 2 && !fake->savedMeanwhile.empty()) {
        fake->files[name] = fake->savedMeanwhile;
      }
      look.state = name.starts_with("link")     ? OutputState::kLink
                   : fake->files.contains(name) ? OutputState::kFile
                                                : OutputState::kNothing;
      if (look.state == OutputState::kFile) {
        look.identity = fake->identityOf(name);
      }
      return look;
    },
    // A link at a name that starts with "link" leads to the next name, for ever; "link-up" to
    // the folder above.
    [](Handle, const std::string& name, OpenedDirectory&, std::string& toName) {
      toName = name == "link-up" ? ".." : name + "+";
      return name.starts_with("link");
    },
    [](Handle, const char* name, bool, FileIdentity& identity) {
      if (!step("openToRead") || !fake->files.contains(name)) {
        return kNoHandle;
      }
      identity = fake->identityOf(name);
      ++fake->openOriginals;
      return kOriginal;
    },
    [](Handle, FileIdentity& identity) {
      identity = fake->sourceNow;
      return true;
    },
    [](Handle, uint64_t, unsigned char*, int64_t) { return int64_t{-1}; },
    [](Handle) {
      step("close");
      --fake->openOriginals;
    },
    [](Handle) { return step("mayMakeFiles"); },
    [](Handle, Handle, const FileIdentity&, bool, Temporary& temporary) {
      if (!step("makeTemporary")) {
        return WriteOutcome::kCannotCreate;
      }
      ++fake->temporaries;
      fake->temporaryBytes.clear();
      temporary.file = kTemporary;
      temporary.name[0] = 't';
      return WriteOutcome::kWritten;
    },
    [](Temporary&, const Piece& piece) {
      if (piece.file == nullptr) {
        fake->temporaryBytes.append(reinterpret_cast<const char*>(piece.bytes), piece.length);
      }
      return step("write");
    },
    [](Handle, Temporary&) { return step("carryMetadata"); },
    [](Temporary&) { return step("flush"); },
    [](Temporary& temporary, Handle, const std::string& name) {
      if (!step("keepAsNew")) {
        return WriteOutcome::kWriteFailed;
      }
      if (fake->files.contains(name)) {
        return WriteOutcome::kExists;
      }
      fake->files[name] = fake->temporaryBytes;
      fake->inodes[name] = fake->nextInode++;
      --fake->temporaries;
      temporary = Temporary();
      return WriteOutcome::kWritten;
    },
    [](Temporary& temporary, Handle, const std::string& name) {
      if (!step("replace") || (!fake->renameOverOpenFile && fake->openOriginals > 0)) {
        return false;
      }
      fake->files[name] = fake->temporaryBytes;
      fake->inodes[name] = fake->nextInode++;
      --fake->temporaries;
      temporary.name[0] = '\0';
      return true;
    },
    [](Temporary&, Handle, bool) { return step("makeDurable"); },
    [](Temporary& temporary, Handle) {
      if (temporary.name[0] != '\0') {
        step("discard");
        --fake->temporaries;
      }
      temporary = Temporary();
    },
};

const unsigned char kBytes[] = {'n', 'e', 'w'};
const Piece kPiece = Piece::ofBytes(kBytes, sizeof kBytes);

// Runs the sequence over the fake, in a directory that the test's own steps stand for.
class FileSequence : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = systemCalls;
    systemCalls = kFakeCalls;
    fake = &system_;
    reset();
  }
  void TearDown() override {
    DirectoryAccess::release(directory_);  // the fake's, not the system's
    systemCalls = saved_;
    fake = nullptr;
  }

  // A fresh directory holding x.fxp, for each case of a table.
  void reset() {
    system_ = FakeSystem();
    system_.files["x.fxp"] = "old";
    system_.inodes["x.fxp"] = 1;
    DirectoryAccess::release(directory_);
    DirectoryAccess::adopt(directory_, {kDirectory, true});
  }

  // Replaces x.fxp as -f does, expecting the file that was read (by default, the one there).
  WriteOutcome replace(Pieces pieces = {&kPiece, 1}, const FileIdentity* expected = nullptr) {
    Output output;
    EXPECT_EQ(output.locate(directory_, "x.fxp"), OutputState::kNothing);
    EXPECT_EQ(output.examine(false), OutputState::kFile);
    const FileIdentity read = expected != nullptr ? *expected : output.found();
    return output.replace(pieces, read, read);
  }

  WriteOutcome create(const char* name) {
    Output output;
    EXPECT_EQ(output.locate(directory_, name), OutputState::kNothing);
    return output.create({&kPiece, 1}, {});
  }

  FakeSystem system_;
  Directory directory_;

 private:
  SystemCalls saved_{};
};

using Log = std::vector<std::string>;

TEST_F(FileSequence, AReplacementFlushesBeforeItLooksAgainAndRenamesLast) {
  for (const bool windows : {false, true}) {
    reset();
    system_.renameOverOpenFile = !windows;
    EXPECT_EQ(replace(), WriteOutcome::kWritten) << windows;
    EXPECT_EQ(system_.log, (Log{"look", "openToRead", "makeTemporary", "write", "carryMetadata",
                                "flush", "close", "look", "replace", "makeDurable"}))
        << windows;
    EXPECT_EQ(system_.files["x.fxp"], "new");
    EXPECT_EQ(system_.temporaries, 0);
    EXPECT_EQ(system_.openOriginals, 0);
  }
}

TEST_F(FileSequence, AFaultAtAnyStepReplacesNothingAndLeavesNoTemporary) {
  struct Case {
    const char* failing;
    WriteOutcome expected;
  };
  for (const Case& c :
       {Case{"openToRead", WriteOutcome::kCannotCreate},
        Case{"makeTemporary", WriteOutcome::kCannotCreate},
        Case{"write", WriteOutcome::kWriteFailed},
        Case{"carryMetadata", WriteOutcome::kWriteFailed},
        Case{"flush", WriteOutcome::kWriteFailed}, Case{"replace", WriteOutcome::kWriteFailed}}) {
    reset();
    system_.failing = c.failing;
    EXPECT_EQ(replace(), c.expected) << c.failing;
    EXPECT_EQ(system_.files["x.fxp"], "old") << c.failing;
    EXPECT_EQ(system_.temporaries, 0) << c.failing;
    EXPECT_EQ(system_.openOriginals, 0) << c.failing;
  }
}

TEST_F(FileSequence, ADurabilityFaultIsReportedAfterTheRename) {
  system_.failing = "makeDurable";
  EXPECT_EQ(replace(), WriteOutcome::kWriteFailed);
  EXPECT_EQ(system_.files["x.fxp"], "new");
  EXPECT_EQ(system_.temporaries, 0);
}

TEST_F(FileSequence, AChainOfLinksWithoutEndIsFollowedOnlySoFar) {
  Output output;
  EXPECT_EQ(output.locate(directory_, "link"), OutputState::kNothing);
  EXPECT_EQ(output.examine(true), OutputState::kUnreachable);
  EXPECT_EQ(output.examine(false), OutputState::kLink);
}

TEST_F(FileSequence, ANameThatCannotBeAFileIsNeverLookedUp) {
  Output output;
  EXPECT_EQ(output.locate(Directory(), "x.fxp"), OutputState::kUnreachable);
  for (const char* path : {"", ".", "..", "./.."}) {
    EXPECT_EQ(output.locate(directory_, path), OutputState::kUnreachable) << path;
  }
  EXPECT_EQ(output.locate(directory_, "link-up"), OutputState::kNothing);
  EXPECT_EQ(output.examine(true), OutputState::kNotAFile);
}

TEST_F(FileSequence, AnOpenFileTakingAnotherClosesItsOwnFirst) {
  InputFile file;
  InputFileAccess::adopt(file, kOriginal, {});
  system_.log.clear();
  file = InputFile();
  EXPECT_EQ(system_.log, (Log{"close"}));
  file = InputFile();  // and one that holds nothing closes nothing
  EXPECT_EQ(system_.log, (Log{"close"}));
}

TEST_F(FileSequence, NothingIsMadeForAFileOtherThanTheOneRead) {
  const FileIdentity another = {.volume = 1, .file = 2, .size = 3, .permissions = 0600};
  EXPECT_EQ(replace({&kPiece, 1}, &another), WriteOutcome::kChanged);
  EXPECT_EQ(system_.log, (Log{"look"}));
}

TEST_F(FileSequence, ASaveMadeBeforeTheRenameIsKept) {
  system_.savedMeanwhile = "saved by a host";
  EXPECT_EQ(replace(), WriteOutcome::kChanged);
  EXPECT_EQ(system_.files["x.fxp"], "saved by a host");
  EXPECT_EQ(system_.temporaries, 0);
  EXPECT_EQ(std::count(system_.log.begin(), system_.log.end(), "replace"), 0);
}

TEST_F(FileSequence, ANewFileIsWrittenWholeAndNamedWithoutReplacing) {
  EXPECT_EQ(create("y.fxp"), WriteOutcome::kWritten);
  EXPECT_EQ(system_.log, (Log{"makeTemporary", "write", "keepAsNew"}));
  EXPECT_EQ(system_.files["y.fxp"], "new");
  for (const char* failing : {"makeTemporary", "write", "keepAsNew"}) {
    reset();
    system_.failing = failing;
    EXPECT_NE(create("y.fxp"), WriteOutcome::kWritten) << failing;
    EXPECT_FALSE(system_.files.contains("y.fxp")) << failing;
    EXPECT_EQ(system_.temporaries, 0) << failing;
  }
  reset();
  EXPECT_EQ(create("x.fxp"), WriteOutcome::kExists);
  EXPECT_EQ(system_.files["x.fxp"], "old");
  EXPECT_EQ(system_.temporaries, 0);
}

TEST_F(FileSequence, AnOutputCopiedFromAFileWrittenToMeanwhileIsNotNamed) {
  InputFile source;
  const FileIdentity opened = {.volume = 1, .file = 50, .size = 1000, .modified = 7};
  InputFileAccess::adopt(source, kOriginal, opened);
  const Piece pieces[] = {kPiece, Piece::ofFile(source, 0, 1000)};
  for (const bool replacing : {false, true}) {
    reset();
    system_.sourceNow = opened;
    system_.sourceNow.modified = 8;  // written to since it was opened
    Output output;
    output.locate(directory_, replacing ? "x.fxp" : "y.fxp");
    output.examine(false);
    const WriteOutcome outcome =
        replacing ? output.replace(pieces, output.found(), {}) : output.create(pieces, {});
    EXPECT_EQ(outcome, WriteOutcome::kChanged) << replacing;
    EXPECT_EQ(system_.files, (std::map<std::string, std::string>{{"x.fxp", "old"}})) << replacing;
    EXPECT_EQ(system_.temporaries, 0) << replacing;
  }
  system_.sourceNow = opened;
  Output output;
  output.locate(directory_, "y.fxp");
  EXPECT_EQ(output.create(pieces, {}), WriteOutcome::kWritten);
  // A replacement copied from the very file it replaces closes it before the rename, which
  // Windows refuses over a file held open.
  reset();
  system_.renameOverOpenFile = false;
  system_.sourceNow = opened;
  ++system_.openOriginals;  // the source
  EXPECT_EQ(replace(pieces), WriteOutcome::kWritten);
  EXPECT_FALSE(source.isOpen());
}

}  // namespace
}  // namespace tunewright::platform
