# The calls of the system beyond POSIX.1-2008 that the POSIX platform layer uses where they are
# there, each with a POSIX way beside it: TUNEWRIGHT_POSIX_FEATURES holds one definition of 0 or 1
# per call. With TUNEWRIGHT_PORTABLE_POSIX, every one is 0, so that the POSIX ways are built and
# tested on Linux too.
include(CheckCXXSourceCompiles)
include(CMakePushCheckState)

cmake_push_check_state(RESET)
set(CMAKE_REQUIRED_DEFINITIONS -D_GNU_SOURCE)
set(CMAKE_REQUIRED_QUIET ON)

function(tunewright_posix_feature name code)
  if(TUNEWRIGHT_PORTABLE_POSIX)
    set(found 0)
  else()
    check_cxx_source_compiles("${code}" TUNEWRIGHT_CHECK_${name})
    if(TUNEWRIGHT_CHECK_${name})
      set(found 1)
    else()
      set(found 0)
    endif()
  endif()
  list(APPEND TUNEWRIGHT_POSIX_FEATURES TUNEWRIGHT_HAVE_${name}=${found})
  set(TUNEWRIGHT_POSIX_FEATURES ${TUNEWRIGHT_POSIX_FEATURES} PARENT_SCOPE)
endfunction()

set(TUNEWRIGHT_POSIX_FEATURES "")
tunewright_posix_feature(RENAMEAT2 "
  #include <stdio.h>
  #include <fcntl.h>
  int main() { return renameat2(AT_FDCWD, \"a\", AT_FDCWD, \"b\", RENAME_NOREPLACE); }")
tunewright_posix_feature(O_TMPFILE "
  #include <fcntl.h>
  int main() { return openat(AT_FDCWD, \".\", O_TMPFILE | O_WRONLY, 0) + AT_EMPTY_PATH; }")
tunewright_posix_feature(O_PATH "
  #include <fcntl.h>
  int main() { return openat(AT_FDCWD, \".\", O_PATH); }")
tunewright_posix_feature(SYNCFS "
  #include <unistd.h>
  int main() { return syncfs(0); }")
tunewright_posix_feature(COPY_FILE_RANGE "
  #include <unistd.h>
  int main() { return static_cast<int>(copy_file_range(0, nullptr, 1, nullptr, 1, 0)); }")
# What the portable build uses where the system has it: the nanoseconds of a modification time
# (POSIX.1-2008 has them; macOS names them otherwise), and extended attributes, ACLs among them,
# which are no POSIX call at all: copied where the system has Linux's calls (macOS and the BSDs
# have calls of their own).
set(portable ${TUNEWRIGHT_PORTABLE_POSIX})
set(TUNEWRIGHT_PORTABLE_POSIX OFF)
tunewright_posix_feature(ST_MTIM "
  #include <sys/stat.h>
  int main() { struct stat s{}; return static_cast<int>(s.st_mtim.tv_nsec); }")
tunewright_posix_feature(LINUX_XATTR "
  #include <sys/types.h>
  #include <sys/xattr.h>
  int main() { char v[1]; return static_cast<int>(fgetxattr(0, \"user.x\", v, 1)) +
    static_cast<int>(flistxattr(0, v, 1)) + fsetxattr(0, \"user.x\", v, 1, 0) +
    fremovexattr(0, \"user.x\"); }")
set(TUNEWRIGHT_PORTABLE_POSIX ${portable})
cmake_pop_check_state()
message(STATUS "POSIX calls of the platform layer: ${TUNEWRIGHT_POSIX_FEATURES}")
