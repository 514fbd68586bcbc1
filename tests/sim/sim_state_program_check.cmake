# tamrik-config on a simulated unit that remembers, run as a user would:
#   cmake -DPROGRAM=<tamrik-config> -DWORK=<scratch folder> -P <this file>
# A kept state (written by hand, as the format allows) opens the window showing its frequency; a
# damaged one stops the start with a one-line reason and stays as it was, and leaves no recording.
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
set(state "${WORK}/units/SIM001.state")
set(kept "# 12345678 Hz, output off, 16mA\nformat=1\nserial=SIM001\noutput_flags=0\ndrive_index=1\ngps=131337\nn31=1\nn2_hs=11\nn2_ls=4324\nn1_hs=11\nnc1_ls=46\nnc2_ls=46\nreserved=0\nbw=9\n")
file(WRITE "${state}" "${kept}")

execute_process(COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
                        ${PROGRAM} --simulate=1 --sim-state "${WORK}/units" --snapshot "${WORK}/snapshot.json" --quit-after 200
                RESULT_VARIABLE status ERROR_VARIABLE err TIMEOUT 60)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "tamrik-config with a kept state: exit status ${status}\n${err}")
endif()
file(READ "${WORK}/snapshot.json" snapshot)
string(JSON frequency GET "${snapshot}" controls Out1Freq text)
string(JSON output GET "${snapshot}" controls OUT1EN checked)
string(JSON drive GET "${snapshot}" controls Enc1 selected)
if(NOT frequency STREQUAL "12345678" OR output OR NOT drive EQUAL 1)
  message(FATAL_ERROR "the window shows ${frequency} Hz, output ${output}, drive ${drive}; expected the kept 12345678, OFF, 1")
endif()
file(READ "${state}" after)
if(NOT after STREQUAL kept)
  message(FATAL_ERROR "a run that changed nothing rewrote the state:\n${after}")
endif()

string(REPLACE "n31=1" "n31=0" damaged "${kept}")
file(WRITE "${state}" "${damaged}")
execute_process(COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
                        ${PROGRAM} --simulate=1 --sim-state "${WORK}/units" --record "${WORK}/recording.ubx" --quit-after 200
                RESULT_VARIABLE status ERROR_VARIABLE err TIMEOUT 60)
# A start that stops leaves no recording behind, which the next --record would refuse to replace.
if(EXISTS "${WORK}/recording.ubx")
  message(FATAL_ERROR "the stopped start left its recording ${WORK}/recording.ubx")
endif()
if(NOT status EQUAL 2 OR NOT err MATCHES "tamrik-config: --sim-state: '[^']*SIM001.state' is damaged: line 7: n31 '0' is not a whole number from 1 to 16777216; the file is left as it is\n$")
  message(FATAL_ERROR "tamrik-config with a damaged state: exit status ${status}\n${err}")
endif()
file(READ "${state}" after)
if(NOT after STREQUAL damaged)
  message(FATAL_ERROR "the damaged state was changed:\n${after}")
endif()
file(REMOVE_RECURSE "${WORK}")
