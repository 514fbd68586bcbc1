# Runs the built tamrikctl executable as a user would:
#   cmake -DTAMRIKCTL=<path> -DVERSION=<project version> [-DEMULATOR=<runner>] -P <this file>
# A Windows build's program runs through its emulator (Wine); its output must be byte for byte
# the same as on Linux, line ends included.
function(expect_run expected_status expected_out_regex expected_err_regex)
  execute_process(COMMAND ${EMULATOR} ${TAMRIKCTL} ${ARGN}
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status STREQUAL "${expected_status}")
    message(FATAL_ERROR "tamrikctl ${ARGN}: exit status ${status}, expected ${expected_status}\n${out}${err}")
  endif()
  if(NOT out MATCHES "${expected_out_regex}")
    message(FATAL_ERROR "tamrikctl ${ARGN}: standard output does not match '${expected_out_regex}':\n${out}")
  endif()
  if(NOT err MATCHES "${expected_err_regex}")
    message(FATAL_ERROR "tamrikctl ${ARGN}: standard error does not match '${expected_err_regex}':\n${err}")
  endif()
endfunction()

expect_run(0 "^exact=1\ngps=184375\nn31=1\nn2_hs=11\nn2_ls=3200\nn1_hs=11\nnc1_ls=590\nnc2_ls=590\nbw=9\nachieved_hz=1000000\noffset_hz=0\noffset_ppb=0\n$" "^$" plan 1000000)
expect_run(0 "^\\{\"exact\":0,.*\"achieved_hz\":777777776.25,\"offset_hz\":-0.75,\"offset_ppb\":0.964\\}\n$" "^$" plan --json 777777777)
expect_run(2 "^$" "^Frequency too high: Highest available frequency is 812.5 MHz\n$" plan 812500001)
expect_run(2 "^$" "is not a frequency in Hz" plan 1,5)
expect_run(64 "^$" "unknown command" frobnicate)
expect_run(0 "Exit status" "^$" --help)
# The version line as scripts read it, then the licence, whole.
string(REPLACE "." "\\." version_regex "${VERSION}")
expect_run(0 "^tamrikctl ${version_regex}\nLicense GPL-3\\.0-or-later: GNU GPL version 3 or later <https://gnu\\.org/licenses/gpl\\.html>\\.\nThis is free software: you are free to change and redistribute it\\.\nThere is NO WARRANTY, to the extent permitted by law\\.\n$"
           "^$" --version)
