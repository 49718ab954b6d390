# The bank's own trusted sites: gen_strings.cmake given TRUSTED_SITES puts
# them in string 106 of both string tables (the compiled-in one and the
# Windows resources) and leaves the other strings alone.
# Run: cmake -DSOURCE=<source dir> -DOUT=<scratch dir> -P trusted_sites.cmake
set(list "https://*.bank.example|https://enroll.bank.example")
execute_process(COMMAND ${CMAKE_COMMAND} -DIN=${SOURCE}/resources/strings.tsv -DOUT_INC=${OUT}/strings.inc
                        -DOUT_RC=${OUT}/strings.rc -DTRUSTED_SITES=${list} -P ${SOURCE}/scripts/gen_strings.cmake
                RESULT_VARIABLE rc)
file(STRINGS ${OUT}/strings.inc inc ENCODING UTF-8 REGEX "^\\{(106|9216),")
file(STRINGS ${OUT}/strings.rc rc_lines REGEX "^  106,")
set(expected_inc "{106, u\"${list}\", u\"${list}\"},;{9216, u\"Key length is not supported.\", u\"密钥长度不支持\"},")
set(expected_rc "  106, \"${list}\";  106, \"${list}\"")
if(NOT rc EQUAL 0 OR NOT inc STREQUAL expected_inc OR NOT rc_lines STREQUAL expected_rc)
  message(FATAL_ERROR "string 106 is not the given list:\n${inc}\n${rc_lines}")
endif()
