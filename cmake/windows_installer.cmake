# The Windows installer, tunewright-VERSION-x64.msi, made by cpack or the target msi.
# CPack's External generator stages the install tree, as for the .zip, and hands it to
# packaging/windows/make_msi.cmake, which builds the installer from packaging/windows/
# tunewright.wxs with wixl (Debian: wixl msitools). Given a code-signing certificate, the program
# in both packages and the installer itself are signed (osslsigncode).

# The installer's UpgradeCode: it names the product for every version to come, so that each
# replaces the one before. Never change it.
set(CPACK_TUNEWRIGHT_UPGRADE_CODE 9A60C5D0-8543-459B-A186-AC27B2B61972)

set(TUNEWRIGHT_SIGN_PKCS12 "" CACHE FILEPATH
  "Code-signing certificate and key (.pfx) for the Windows program and installer; empty: unsigned")
set(TUNEWRIGHT_SIGN_PASSWORD_FILE "" CACHE FILEPATH
  "File that holds the password of TUNEWRIGHT_SIGN_PKCS12 (kept out of the build's cache)")
set(TUNEWRIGHT_SIGN_TIMESTAMP_URL "" CACHE STRING
  "RFC 3161 time-stamping service for the signatures; empty: not time-stamped")

find_program(TUNEWRIGHT_WIXL wixl)
find_program(TUNEWRIGHT_MSIBUILD msibuild)
find_program(TUNEWRIGHT_OSSLSIGNCODE osslsigncode)
if(TUNEWRIGHT_SIGN_PKCS12 AND NOT TUNEWRIGHT_OSSLSIGNCODE)
  message(FATAL_ERROR "TUNEWRIGHT_SIGN_PKCS12 is set but osslsigncode was not found "
    "(Debian: apt-get install osslsigncode)")
endif()

# For the packaging scripts, which see only CPack's variables. cpack -D overrides any of them.
# The file types the verb is offered on are the program's own (CMakeLists.txt).
set(CPACK_TUNEWRIGHT_PRESET_EXTENSIONS ${TUNEWRIGHT_PRESET_EXTENSIONS})
set(CPACK_TUNEWRIGHT_WXS ${PROJECT_SOURCE_DIR}/packaging/windows/tunewright.wxs)
set(CPACK_TUNEWRIGHT_WIXL ${TUNEWRIGHT_WIXL})
set(CPACK_TUNEWRIGHT_MSIBUILD ${TUNEWRIGHT_MSIBUILD})
set(CPACK_TUNEWRIGHT_OSSLSIGNCODE ${TUNEWRIGHT_OSSLSIGNCODE})
set(CPACK_TUNEWRIGHT_SIGN_PKCS12 ${TUNEWRIGHT_SIGN_PKCS12})
set(CPACK_TUNEWRIGHT_SIGN_PASSWORD_FILE ${TUNEWRIGHT_SIGN_PASSWORD_FILE})
set(CPACK_TUNEWRIGHT_SIGN_TIMESTAMP_URL ${TUNEWRIGHT_SIGN_TIMESTAMP_URL})

# The program is signed in the staged tree of every package, after it was stripped.
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/windows/sign_program.cmake)

if(TUNEWRIGHT_WIXL AND TUNEWRIGHT_MSIBUILD)
  list(APPEND CPACK_GENERATOR External)
  set(CPACK_EXTERNAL_ENABLE_STAGING ON)
  set(CPACK_EXTERNAL_PACKAGE_SCRIPT ${PROJECT_SOURCE_DIR}/packaging/windows/make_msi.cmake)
  add_custom_target(msi
    COMMAND ${CMAKE_CPACK_COMMAND} -G External --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    COMMENT "Making the installer"
    VERBATIM)
  add_dependencies(msi tunewright)
else()
  message(STATUS "No Windows installer: wixl or msibuild not found (Debian: apt-get install "
    "wixl msitools)")
endif()
