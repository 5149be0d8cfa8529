# CPack's External generator script on Windows: builds the installer tunewright-VERSION-x64.msi.
# From the staged install tree (the program already signed by sign_program.cmake) with wixl;
# completes what wixl cannot say with msibuild, and signs it. The variables come from
# cmake/windows_installer.cmake.

include(${CMAKE_CURRENT_LIST_DIR}/signing.cmake)

set(stage ${CPACK_TEMPORARY_DIRECTORY})
set(work ${CPACK_TOPLEVEL_DIRECTORY}/msi)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work}/files)

# The install tree, flattened into the one folder the installer makes. Every staged file must
# have its place in tunewright.wxs, so that none is left out unnoticed.
set(places
  bin/tunewright.exe=tunewright.exe
  bin/tunewright.html=tunewright.html
  share/doc/tunewright/README.md=README.md
  share/doc/tunewright/LICENSE=LICENSE)
set(known "")
foreach(place IN LISTS places)
  string(REPLACE "=" ";" place "${place}")
  list(GET place 0 from)
  list(GET place 1 to)
  list(APPEND known ${from})
  if(EXISTS ${stage}/${from})
    file(COPY_FILE ${stage}/${from} ${work}/files/${to})
  endif()
endforeach()
file(GLOB_RECURSE staged LIST_DIRECTORIES false RELATIVE ${stage} ${stage}/*)
foreach(file IN LISTS staged)
  if(NOT file IN_LIST known)
    message(FATAL_ERROR "The installer has no place for ${file}: add it to "
      "${CPACK_TUNEWRIGHT_WXS} and to the places in ${CMAKE_CURRENT_LIST_FILE}")
  endif()
endforeach()
set(wixl_options
  -D Version=${CPACK_PACKAGE_VERSION}
  -D UpgradeCode=${CPACK_TUNEWRIGHT_UPGRADE_CODE}
  -D Homepage=${CPACK_PACKAGE_HOMEPAGE_URL}
  -D FileVerbs=file_verbs.wxi -I ${work})
# The browser page is in the tree once the web preset has made it.
if(EXISTS ${work}/files/tunewright.html)
  list(APPEND wixl_options -D Page=1)
endif()

# The verb of TUNEWRIGHT_PRESET_EXTENSIONS, one block of file_verb.wxi.in each.
file(READ ${CMAKE_CURRENT_LIST_DIR}/file_verb.wxi.in template)
set(verbs "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Include>\n")
foreach(extension IN LISTS CPACK_TUNEWRIGHT_PRESET_EXTENSIONS)
  string(TOLOWER "${extension}" lower)
  if(NOT extension STREQUAL lower OR NOT extension MATCHES "^[a-z0-9]+$")
    message(FATAL_ERROR "Preset extension '${extension}': lower-case letters and digits, no dot")
  endif()
  string(CONFIGURE "${template}" block @ONLY)
  string(APPEND verbs "${block}")
endforeach()
string(APPEND verbs "</Include>\n")
file(WRITE ${work}/file_verbs.wxi "${verbs}")

set(msi ${work}/${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-x64.msi)
execute_process(
  COMMAND ${CPACK_TUNEWRIGHT_WIXL} --arch x64 ${wixl_options} -o ${msi} ${CPACK_TUNEWRIGHT_WXS}
  WORKING_DIRECTORY ${work}/files  # where wixl looks for the files
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "wixl failed on ${CPACK_TUNEWRIGHT_WXS}")
endif()

function(msi_query query)
  execute_process(COMMAND ${CPACK_TUNEWRIGHT_MSIBUILD} ${msi} -q "${query}"
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "msibuild failed on: ${query}")
  endif()
endfunction()

# wixl's MajorUpgrade replaces older versions only: a rebuild of the same version (another
# ProductCode) would be installed beside it, twice in Apps and Features. Replaced too, as WiX
# does it for AllowSameVersionUpgrades: migrate features (1), up to this version inclusive (512).
msi_query("DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'")
msi_query("INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMax`, `Attributes`, `ActionProperty`) \
VALUES ('{${CPACK_TUNEWRIGHT_UPGRADE_CODE}}', '${CPACK_PACKAGE_VERSION}', 513, \
'WIX_UPGRADE_DETECTED')")

tunewright_sign(${msi} "tunewright ${CPACK_PACKAGE_VERSION} installer")
set(CPACK_EXTERNAL_BUILT_PACKAGES ${msi})
