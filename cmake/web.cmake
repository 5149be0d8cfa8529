# The browser page: the conversion core compiled to WebAssembly (src/web, its own build with
# the wasm32-wasi toolchain), inlined with the page's script and pako's deflate into one file,
# tunewright.html; and its tests, in Debian's chromium and Firefox ESR, against the program of
# this build.

enable_testing()
include(ExternalProject)
find_program(NODE node REQUIRED)
set(node_modules ${PROJECT_SOURCE_DIR}/node_modules)
if(NOT EXISTS ${node_modules}/pako/dist/pako.min.js OR NOT EXISTS ${node_modules}/puppeteer-core)
  message(FATAL_ERROR "The page needs the npm packages of package-lock.json: run 'npm ci' in "
    "${PROJECT_SOURCE_DIR}")
endif()

# The module's toolchain tried now on a small module that uses the C++ library
# (cmake/wasm-probe), so that a missing piece is named here rather than met halfway through the
# build ('algorithm' file not found). Tried on each configure until it works. A build of its
# own, as the module's is: try_compile would use this project's compiler.
if(NOT TUNEWRIGHT_WASM_TOOLCHAIN_WORKS)
  set(probe ${CMAKE_BINARY_DIR}/wasm-probe)
  file(REMOVE_RECURSE ${probe})
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${PROJECT_SOURCE_DIR}/cmake/wasm-probe -B ${probe}
      -G ${CMAKE_GENERATOR} -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/wasm32-wasi.cmake
    RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT failed)
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${probe}
      RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
  endif()
  if(failed)
    message(FATAL_ERROR "The page's WebAssembly toolchain cannot build a small C++ module (clang "
      "for wasm32-wasi, with the C++ library, linked by lld). On Debian, install: "
      "apt-get install clang lld-14 wasi-libc libc++-14-dev-wasm32 "
      "libclang-rt-14-dev-wasm32\nWhat the build said:\n${output}")
  endif()
  set(TUNEWRIGHT_WASM_TOOLCHAIN_WORKS ON CACHE INTERNAL "The page's toolchain built a module")
endif()

# The engine's layers, the framework with the converters and the preset image, as their own
# targets list them, so that the page follows the program as converters and formats are added:
# their sources, the header folders they are built with, and the ones they give their users,
# which are all the glue may include.
set(engine_sources "")
set(engine_includes "")
set(glue_includes "")
foreach(layer tunewright_convert tunewright_converters tunewright_preset)
  get_target_property(sources ${layer} SOURCES)
  list(TRANSFORM sources PREPEND ${PROJECT_SOURCE_DIR}/)
  get_target_property(includes ${layer} INCLUDE_DIRECTORIES)
  get_target_property(interface ${layer} INTERFACE_INCLUDE_DIRECTORIES)
  list(APPEND engine_sources ${sources})
  list(APPEND engine_includes ${includes})
  # The converters give their users no headers: NOTFOUND would stop the module's configure.
  if(interface)
    list(APPEND glue_includes ${interface})
  endif()
endforeach()
get_target_property(warnings tunewright_warnings INTERFACE_COMPILE_OPTIONS)
foreach(list engine_sources engine_includes glue_includes warnings)
  string(REPLACE ";" "|" ${list} "${${list}}")
endforeach()

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
    -DTUNEWRIGHT_ENGINE_INCLUDES=${engine_includes}
    -DTUNEWRIGHT_GLUE_INCLUDES=${glue_includes}
    -DTUNEWRIGHT_WARNINGS=${warnings}
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${wasm})

set(TUNEWRIGHT_WEB_PAGE ${CMAKE_BINARY_DIR}/tunewright.html)
set(page_sources src/web/build_page.mjs src/web/page.html src/web/page.js
  ${node_modules}/pako/dist/pako.min.js ${node_modules}/pako/LICENSE)
add_custom_command(OUTPUT ${TUNEWRIGHT_WEB_PAGE}
  COMMAND ${NODE} ${PROJECT_SOURCE_DIR}/src/web/build_page.mjs ${wasm} ${TUNEWRIGHT_WEB_PAGE}
  DEPENDS web_engine ${wasm} ${page_sources}
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  COMMENT "Making tunewright.html")
add_custom_target(web_page ALL DEPENDS ${TUNEWRIGHT_WEB_PAGE})

# The same tests in each browser; the README's screenshot is chromium's.
foreach(browser chromium firefox-esr)
  find_program(TUNEWRIGHT_${browser} ${browser} PATHS /usr/bin NO_DEFAULT_PATH)
  if(NOT TUNEWRIGHT_${browser})
    message(FATAL_ERROR "The page's tests need /usr/bin/${browser} (apt-get install ${browser})")
  endif()
endforeach()
add_test(NAME web
  COMMAND ${NODE} ${PROJECT_SOURCE_DIR}/tests/web/page_test.mjs
    --page ${TUNEWRIGHT_WEB_PAGE} --program $<TARGET_FILE:tunewright> --browser chromium
    --screenshot ${CMAKE_BINARY_DIR}/screenshot.png)
add_test(NAME web_firefox
  COMMAND ${NODE} ${PROJECT_SOURCE_DIR}/tests/web/page_test.mjs
    --page ${TUNEWRIGHT_WEB_PAGE} --program $<TARGET_FILE:tunewright> --browser firefox)

add_custom_target(web_bench
  COMMAND ${NODE} ${PROJECT_SOURCE_DIR}/bench/web_bench.mjs --page ${TUNEWRIGHT_WEB_PAGE}
  DEPENDS web_page
  USES_TERMINAL
  VERBATIM)
