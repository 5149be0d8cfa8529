# The browser page: the conversion core compiled to WebAssembly (src/web, its own build with
# the wasm32-wasi toolchain), inlined with the page's script and the zip writer into one file,
# tunewright.html; and its tests, in Debian's chromium, against the program of this build.

enable_testing()
include(ExternalProject)
find_program(NODE node REQUIRED)
set(node_modules ${PROJECT_SOURCE_DIR}/node_modules)
if(NOT EXISTS ${node_modules}/fflate/umd/index.js OR NOT EXISTS ${node_modules}/playwright-core)
  message(FATAL_ERROR "The page needs the npm packages of package-lock.json: run 'npm ci' in "
    "${PROJECT_SOURCE_DIR}")
endif()

# Every source of the core but the command-line front end and the file system, so that the
# page follows the program as converters and formats are added.
get_target_property(engine_sources tunewright_core SOURCES)
list(FILTER engine_sources EXCLUDE REGEX "^src/(app|platform)/")
list(TRANSFORM engine_sources PREPEND ${PROJECT_SOURCE_DIR}/)
string(REPLACE ";" "|" engine_sources "${engine_sources}")
get_target_property(warnings tunewright_warnings INTERFACE_COMPILE_OPTIONS)
string(REPLACE ";" "|" warnings "${warnings}")

set(wasm ${CMAKE_BINARY_DIR}/wasm/tunewright.wasm)
ExternalProject_Add(web_engine
  SOURCE_DIR ${PROJECT_SOURCE_DIR}/src/web
  BINARY_DIR ${CMAKE_BINARY_DIR}/wasm
  LIST_SEPARATOR |
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/wasm32-wasi.cmake
    -DCMAKE_BUILD_TYPE=MinSizeRel
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
    -DTUNEWRIGHT_ENGINE_SOURCES=${engine_sources}
    -DTUNEWRIGHT_WARNINGS=${warnings}
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${wasm})

set(TUNEWRIGHT_WEB_PAGE ${CMAKE_BINARY_DIR}/tunewright.html)
set(page_sources src/web/build_page.mjs src/web/page.html src/web/page.js
  ${node_modules}/fflate/umd/index.js ${node_modules}/fflate/LICENSE)
add_custom_command(OUTPUT ${TUNEWRIGHT_WEB_PAGE}
  COMMAND ${NODE} ${PROJECT_SOURCE_DIR}/src/web/build_page.mjs ${wasm} ${TUNEWRIGHT_WEB_PAGE}
  DEPENDS web_engine ${wasm} ${page_sources}
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  COMMENT "Making tunewright.html")
add_custom_target(web_page ALL DEPENDS ${TUNEWRIGHT_WEB_PAGE})

add_test(NAME web
  COMMAND ${NODE} ${PROJECT_SOURCE_DIR}/tests/web/page_test.mjs
    --page ${TUNEWRIGHT_WEB_PAGE} --program $<TARGET_FILE:tunewright>
    --screenshot ${CMAKE_BINARY_DIR}/screenshot.png)

add_custom_target(web_bench
  COMMAND ${NODE} ${PROJECT_SOURCE_DIR}/bench/web_bench.mjs --page ${TUNEWRIGHT_WEB_PAGE}
  DEPENDS web_page
  USES_TERMINAL
  VERBATIM)
