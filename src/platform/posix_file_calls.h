#pragma once

// The POSIX calls whose failures decide whether a write is whole, behind one table so that tests
// can make them fail on purpose (a full disk at close, a rename refused, a flush that errs).

namespace tunewright::platform {

struct FileCalls {
  int (*fsync)(int fd);
  int (*close)(int fd);
  int (*rename)(int fromDirectory, const char* from, int toDirectory, const char* to);
  // Fails with EEXIST when to exists.
  int (*renameNoReplace)(int fromDirectory, const char* from, int toDirectory, const char* to);
};

extern FileCalls fileCalls;

}  // namespace tunewright::platform
