# CPack's pre-build script on Windows: signs the staged program, already stripped, of every
# package, when a certificate is given (CPACK_TUNEWRIGHT_SIGN_PKCS12).

include(${CMAKE_CURRENT_LIST_DIR}/signing.cmake)
tunewright_sign(${CPACK_TEMPORARY_DIRECTORY}/bin/tunewright.exe "tunewright")
