# Install layout and packages: the program in bin, the man page in share/man/man1, the README
# and licence in share/doc/tunewright, the browser page in share/tunewright (in bin on
# Windows); a Debian package natively, a .zip and an installer (.msi) for Windows.

include(GNUInstallDirs)

install(TARGETS tunewright RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The browser page as the web preset makes it, beside the program on Windows, where people
# look for it there, and in share/tunewright elsewhere. Left out of a tree that has none yet.
if(NOT TUNEWRIGHT_WEB_PAGE)
  set(TUNEWRIGHT_WEB_PAGE ${PROJECT_SOURCE_DIR}/build/web/tunewright.html)
endif()
if(WIN32)
  set(web_page_dir ${CMAKE_INSTALL_BINDIR})
else()
  set(web_page_dir ${CMAKE_INSTALL_DATADIR}/tunewright)
endif()
install(FILES ${TUNEWRIGHT_WEB_PAGE} DESTINATION ${web_page_dir} OPTIONAL)

if(NOT WIN32)
  # Man pages are installed compressed, as Debian's policy asks.
  find_program(GZIP gzip REQUIRED)
  set(man_page ${CMAKE_CURRENT_BINARY_DIR}/tunewright.1.gz)
  add_custom_command(OUTPUT ${man_page}
    COMMAND ${GZIP} -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/doc/tunewright.1 > ${man_page}
    DEPENDS doc/tunewright.1
    COMMENT "Compressing the man page")
  add_custom_target(man_page ALL DEPENDS ${man_page})
  install(FILES ${man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_PACKAGE_NAME tunewright)
set(CPACK_PACKAGE_VENDOR "The tunewright developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "upgrade Tavlora and Brisklet presets to newer plug-in versions")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://example.invalid/tunewright")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  include(${CMAKE_CURRENT_LIST_DIR}/windows_installer.cmake)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The tunewright developers <tunewright@example.invalid>")
  set(CPACK_DEBIAN_PACKAGE_SECTION sound)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "tunewright rewrites saved presets (.fxp VST program files) of the Tavlora\n"
    "synthesizer and the Brisklet effect from the parameter layout of an older\n"
    "plug-in version to that of a newer one, exactly and without ever damaging\n"
    "the original files.")
  string(JOIN "" CPACK_DEBIAN_PACKAGE_DESCRIPTION ${CPACK_DEBIAN_PACKAGE_DESCRIPTION})
endif()
include(CPack)
