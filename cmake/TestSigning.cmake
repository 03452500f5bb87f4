# Test signing of the Windows images.
#
# Every build tree makes its own throwaway code-signing certificate with
# openssl the first time it is needed and signs the staged .sys and .exe
# files with osslsigncode. The private key stays in <build>/testsign/ and is
# never installed or committed; the public half is staged as
# pdkit-test-signing.cer, which a test machine imports into its Trusted Root
# and Trusted Publishers stores (docs/WINDOWS.md). Test-signed drivers load
# only when the machine runs with `bcdedit /set testsigning on`.
#
#   pdkit_test_certificate_rule(<out-var>)
#       adds the rule that makes the certificate, in the calling directory
#       (call it once, where the signing commands are added), and returns the
#       files a signing step depends on
#   pdkit_sign_command(<out-var> IN <file> OUT <file> DESCRIPTION <text>)
#       the COMMAND arguments of add_custom_command that write a signed copy
include_guard(GLOBAL)

option(PDKIT_TEST_SIGN "Sign the Windows images with a throwaway test certificate" ON)
set(PDKIT_SIGN_DIGEST "sha256" CACHE STRING
  "Digest of the test signatures (sha256; sha1 for Windows 7 without SHA-2 code signing support)")

set(PDKIT_TESTSIGN_DIR ${CMAKE_BINARY_DIR}/testsign)
set(PDKIT_TESTSIGN_KEY ${PDKIT_TESTSIGN_DIR}/pdkit-test-signing.key)
set(PDKIT_TESTSIGN_PEM ${PDKIT_TESTSIGN_DIR}/pdkit-test-signing.pem)
set(PDKIT_TESTSIGN_CER ${PDKIT_TESTSIGN_DIR}/pdkit-test-signing.cer)

if(PDKIT_TEST_SIGN)
  find_program(PDKIT_OPENSSL openssl)
  find_program(PDKIT_OSSLSIGNCODE osslsigncode)
  if(NOT PDKIT_OPENSSL OR NOT PDKIT_OSSLSIGNCODE)
    message(FATAL_ERROR
      "Test signing needs openssl and osslsigncode on PATH (apt-get install openssl "
      "osslsigncode). To build unsigned images instead, configure with -DPDKIT_TEST_SIGN=OFF; "
      "such drivers load only on 32-bit Windows without Secure Boot.")
  endif()
endif()

function(pdkit_test_certificate_rule out)
  if(NOT PDKIT_TEST_SIGN)
    set(${out} "" PARENT_SCOPE)
    return()
  endif()
  # RSA, which every Windows version's code integrity checks accept. The
  # subject says what the certificate is, so that nobody mistakes it for a
  # release key when it shows up in a certificate store.
  add_custom_command(
    OUTPUT ${PDKIT_TESTSIGN_KEY} ${PDKIT_TESTSIGN_PEM} ${PDKIT_TESTSIGN_CER}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PDKIT_TESTSIGN_DIR}
    COMMAND ${PDKIT_OPENSSL} genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:3072 -quiet
            -out ${PDKIT_TESTSIGN_KEY}
    COMMAND ${PDKIT_OPENSSL} req -x509 -key ${PDKIT_TESTSIGN_KEY} -sha256 -days 3650
            -out ${PDKIT_TESTSIGN_PEM}
            -subj "/O=pdkit/CN=pdkit test signing (throwaway, not for release)"
            -addext "basicConstraints=critical,CA:FALSE"
            -addext "keyUsage=critical,digitalSignature"
            -addext "extendedKeyUsage=codeSigning"
    COMMAND ${PDKIT_OPENSSL} x509 -in ${PDKIT_TESTSIGN_PEM} -outform DER -out ${PDKIT_TESTSIGN_CER}
    COMMENT "Generating a throwaway test-signing certificate in ${PDKIT_TESTSIGN_DIR}"
    VERBATIM)
  set(${out} ${PDKIT_TESTSIGN_KEY} ${PDKIT_TESTSIGN_PEM} ${PDKIT_TESTSIGN_CER} PARENT_SCOPE)
endfunction()

function(pdkit_sign_command out)
  cmake_parse_arguments(ARG "" "IN;OUT;DESCRIPTION" "" ${ARGN})
  # osslsigncode refuses to overwrite its output.
  set(cmd COMMAND ${CMAKE_COMMAND} -E rm -f ${ARG_OUT})
  if(PDKIT_TEST_SIGN)
    list(APPEND cmd COMMAND ${PDKIT_OSSLSIGNCODE} sign
      -certs ${PDKIT_TESTSIGN_PEM} -key ${PDKIT_TESTSIGN_KEY}
      -h ${PDKIT_SIGN_DIGEST} -n ${ARG_DESCRIPTION}
      -in ${ARG_IN} -out ${ARG_OUT})
  else()
    list(APPEND cmd COMMAND ${CMAKE_COMMAND} -E copy ${ARG_IN} ${ARG_OUT})
  endif()
  set(${out} ${cmd} PARENT_SCOPE)
endfunction()
