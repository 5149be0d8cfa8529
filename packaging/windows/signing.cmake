# tunewright_sign(FILE DESCRIPTION): signs FILE in place with the certificate that
# CPACK_TUNEWRIGHT_SIGN_PKCS12 names (SHA-256, Authenticode, time-stamped when
# CPACK_TUNEWRIGHT_SIGN_TIMESTAMP_URL is set); does nothing without a certificate. For the CPack
# scripts in this folder.

function(tunewright_sign file description)
  if(NOT CPACK_TUNEWRIGHT_SIGN_PKCS12)
    return()
  endif()
  if(NOT CPACK_TUNEWRIGHT_OSSLSIGNCODE)
    message(FATAL_ERROR "A certificate to sign with, but no osslsigncode")
  endif()
  set(options -pkcs12 ${CPACK_TUNEWRIGHT_SIGN_PKCS12} -h sha256 -n ${description})
  if(CPACK_TUNEWRIGHT_SIGN_PASSWORD_FILE)
    list(APPEND options -readpass ${CPACK_TUNEWRIGHT_SIGN_PASSWORD_FILE})
  endif()
  if(CPACK_PACKAGE_HOMEPAGE_URL)
    list(APPEND options -i ${CPACK_PACKAGE_HOMEPAGE_URL})
  endif()
  if(CPACK_TUNEWRIGHT_SIGN_TIMESTAMP_URL)
    list(APPEND options -ts ${CPACK_TUNEWRIGHT_SIGN_TIMESTAMP_URL})
  endif()
  # osslsigncode writes a new file; it takes the original's place only once it is complete.
  execute_process(
    COMMAND ${CPACK_TUNEWRIGHT_OSSLSIGNCODE} sign ${options} -in ${file} -out ${file}.signed
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    file(REMOVE ${file}.signed)
    message(FATAL_ERROR "Signing ${file} failed:\n${output}")
  endif()
  file(RENAME ${file}.signed ${file})
  message(STATUS "Signed ${file}")
endfunction()
