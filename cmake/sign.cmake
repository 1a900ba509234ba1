# Signs a Windows executable with Authenticode (SHA-256) using osslsigncode.
#
#   cmake -DOSSLSIGNCODE=/usr/bin/osslsigncode -DCERT=cert.pem -DKEY=key.pem
#         [-DTIMESTAMP_URL=http://tsa.example/] [-DINFO_URL=https://www.vendor.example]
#         -DINPUT=setup.exe -DOUTPUT=setup.exe -P sign.cmake
#
# The setup target's POST_BUILD step signs in place (INPUT equal to OUTPUT) and the signing
# test signs copies, both through this script, so the test exercises the build's command line.
# The signature goes to a temporary file first: OUTPUT is either the complete signed file or
# left as it was, and any failure ends the script with an error (and so fails the build).

foreach(required OSSLSIGNCODE CERT KEY INPUT OUTPUT)
  if("${${required}}" STREQUAL "")
    message(FATAL_ERROR "sign.cmake: ${required} is not set")
  endif()
endforeach()
foreach(file CERT KEY INPUT)
  if(NOT EXISTS "${${file}}")
    message(FATAL_ERROR "sign.cmake: ${file} ${${file}} does not exist")
  endif()
endforeach()

set(command "${OSSLSIGNCODE}" sign -certs "${CERT}" -key "${KEY}" -h sha256 -n "Quillmere Setup")
if(NOT "${INFO_URL}" STREQUAL "")
  list(APPEND command -i "${INFO_URL}")
endif()
if(NOT "${TIMESTAMP_URL}" STREQUAL "")
  # RFC 3161, so the signature stays valid after the certificate expires.
  list(APPEND command -ts "${TIMESTAMP_URL}")
endif()

# Beside OUTPUT, so the final rename stays on one file system and is atomic.
set(partial "${OUTPUT}.signing")
file(REMOVE "${partial}")
execute_process(COMMAND ${command} -in "${INPUT}" -out "${partial}"
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT result EQUAL 0 OR NOT EXISTS "${partial}")
  file(REMOVE "${partial}")
  message(FATAL_ERROR "Signing ${INPUT} failed (osslsigncode: ${result}):\n${out}${err}")
endif()
# osslsigncode writes a plain data file; the signed program stays executable like the linked one.
file(CHMOD "${partial}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                                    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(RENAME "${partial}" "${OUTPUT}")
message(STATUS "Signed ${OUTPUT}")
