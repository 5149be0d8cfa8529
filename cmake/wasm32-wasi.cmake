# Toolchain for the page's WebAssembly module: clang with Debian's wasi-libc and libc++ for
# wasm32-wasi, linked by lld.
# CMake knows no WASI platform; nothing of the module depends on one.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR wasm32)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET wasm32-wasi)
# Debian installs the wasm32-wasi headers and libraries under /usr, by target triple.
set(CMAKE_SYSROOT /usr)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
