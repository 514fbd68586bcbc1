# tamrikctl.exe under Wine prints byte for byte what the Linux build's tamrikctl prints, for every
# request of the planner's known-answer table, as lines and as JSON: standard output, standard
# error and exit status. The same for a cross build's tamrikctl for another Linux architecture
# under qemu-user (-DOTHER=arm64: the name the messages give the emulated program).
#   cmake -DWINDOWS_PROGRAM=<tamrikctl.exe> -DEMULATOR=<wine runner> -DLINUX_PROGRAM=<tamrikctl>
#         -DTABLE=<known_answers.inc> -DWORK=<folder> [-DOTHER=<name>] -P <this file>
# Without the Linux program the check is skipped (it says "tamrikctl_plan_check: skipped"), except
# under CI=true, where it fails.
cmake_minimum_required(VERSION 3.25)
if(NOT OTHER)
  set(OTHER Windows)
endif()
if(NOT EXISTS "${LINUX_PROGRAM}")
  set(message "No Linux tamrikctl at ${LINUX_PROGRAM} to compare with: build it first "
              "(cmake --preset default && cmake --build build --target tamrikctl)")
  if("$ENV{CI}" STREQUAL "true")
    message(FATAL_ERROR ${message})
  endif()
  message("tamrikctl_plan_check: skipped. " ${message})
  return()
endif()

file(STRINGS "${TABLE}" lines REGEX "^\\{\"")
set(requests "")
foreach(line IN LISTS lines)
  if(line MATCHES "^\\{\"([^\"]*)\",")
    list(APPEND requests "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(LENGTH requests count)
if(count LESS 100)
  message(FATAL_ERROR "Only ${count} requests found in ${TABLE}")
endif()

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
set(mismatches 0)
set(compared 0)
foreach(request IN LISTS requests)
  foreach(form IN ITEMS lines json)
    if(form STREQUAL "json")
      set(arguments plan --json "${request}")
    else()
      set(arguments plan "${request}")
    endif()
    execute_process(COMMAND ${EMULATOR} "${WINDOWS_PROGRAM}" ${arguments}
                    OUTPUT_FILE "${WORK}/windows.out" ERROR_FILE "${WORK}/windows.err" RESULT_VARIABLE windows_status)
    execute_process(COMMAND "${LINUX_PROGRAM}" ${arguments}
                    OUTPUT_FILE "${WORK}/linux.out" ERROR_FILE "${WORK}/linux.err" RESULT_VARIABLE linux_status)
    # Compared as hexadecimal, so that a carriage return or a missing last newline counts.
    foreach(stream IN ITEMS out err)
      file(READ "${WORK}/windows.${stream}" windows_bytes HEX)
      file(READ "${WORK}/linux.${stream}" linux_bytes HEX)
      if(NOT windows_bytes STREQUAL linux_bytes)
        math(EXPR mismatches "${mismatches} + 1")
        file(READ "${WORK}/windows.${stream}" windows_text)
        file(READ "${WORK}/linux.${stream}" linux_text)
        message("tamrikctl ${arguments}: standard ${stream} differs\n"
                "  Linux:   ${linux_bytes}\n  ${OTHER}: ${windows_bytes}\n--- Linux\n${linux_text}--- ${OTHER}\n${windows_text}")
      endif()
    endforeach()
    if(NOT windows_status STREQUAL linux_status)
      math(EXPR mismatches "${mismatches} + 1")
      message("tamrikctl ${arguments}: exit status ${windows_status} on ${OTHER}, ${linux_status} on Linux")
    endif()
    math(EXPR compared "${compared} + 1")
  endforeach()
endforeach()

if(mismatches GREATER 0)
  message(FATAL_ERROR "${mismatches} differences in ${compared} runs of tamrikctl")
endif()
message("tamrikctl on ${OTHER} and on Linux agree byte for byte on ${compared} runs (${count} requests, lines and JSON)")
