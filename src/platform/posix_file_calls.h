#pragma once

// The POSIX calls whose failures decide whether a write is whole, behind one table so that tests
// can make them fail on purpose (a full disk at close, a rename refused, a flush that errs).

namespace tunewright::platform {

struct FileCalls {
  int (*fsync)(int fd);
  int (*close)(int fd);
  int (*rename)(const char* from, const char* to);
  int (*renameNoReplace)(const char* from, const char* to);  // fails with EEXIST if to exists
};

extern FileCalls fileCalls;

}  // namespace tunewright::platform
