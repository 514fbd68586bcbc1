# The Windows installer under Wine: a silent install into a folder of the test's own, both programs
# there and running, the programs' licence (COPYING.txt, the project's COPYING with Windows' line
# ends) beside them, the Start-menu entry and the "Apps & features" entry present; then a silent
# uninstall that leaves none of them behind. The portable zip holds the same files.
#   cmake -DEMULATOR=<wine runner> -DWINEPREFIX=<its prefix> -DDIST=<folder with setup.exe and stage/>
#         -DVERSION=<x.y.z> -DREQUIRE_WINDOW=<ON|OFF> -DCOPYING=<the project's COPYING> -DWORK=<folder>
#         -P <this file>
cmake_minimum_required(VERSION 3.25)

set(setup "${DIST}/tamrik-config-${VERSION}-setup.exe")
if(NOT EXISTS "${setup}")
  message(FATAL_ERROR "No installer at ${setup}")
endif()
set(with_window OFF)
if(EXISTS "${DIST}/stage/tamrik-config.exe")
  set(with_window ON)
elseif(REQUIRE_WINDOW)
  message(FATAL_ERROR "This build has tamrik-config.exe, but the installer was made without it")
else()
  message("tamrik-config.exe is not built here: the installer is checked with tamrikctl.exe alone")
endif()

# No space in it: Wine would quote the argument, and an installer takes /D= unquoted only.
set(folder "${WORK}/tamrik-config")
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
# Wine's drive Z: is the root of the Linux file system.
string(REPLACE "/" "\\" windows_folder "Z:${folder}")
set(shortcut "${WINEPREFIX}/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Tamrik Configuration.lnk")
set(key "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\tamrik-config")
set(files tamrikctl.exe COPYING.txt hidapi-LICENSE-bsd.txt cpp-httplib-LICENSE.txt)
if(with_window)
  list(APPEND files tamrik-config.exe)
endif()
# What --version prints after "<program> <version>".
string(CONCAT license "License GPL-3.0-or-later: GNU GPL version 3 or later <https://gnu.org/licenses/gpl.html>.\n"
                      "This is free software: you are free to change and redistribute it.\n"
                      "There is NO WARRANTY, to the extent permitted by law.\n")

# The files of FOLDER (installed or unpacked) are there, and its COPYING.txt is the whole licence
# with every line ended by CR LF. Compared by hash: file(READ) would drop the CRs.
file(READ "${COPYING}" gpl)
string(REPLACE "\r\n" "\n" gpl "${gpl}")
string(REPLACE "\n" "\r\n" gpl "${gpl}")
string(SHA256 gpl_crlf "${gpl}")
function(check_files folder what)
  foreach(file IN LISTS files)
    if(NOT EXISTS "${folder}/${file}")
      message(FATAL_ERROR "${what} lacks ${file} (in ${folder})")
    endif()
  endforeach()
  file(SHA256 "${folder}/COPYING.txt" copying)
  if(NOT copying STREQUAL gpl_crlf)
    message(FATAL_ERROR "${what}: COPYING.txt is not ${COPYING} with Windows' line ends")
  endif()
endfunction()

function(run what)
  execute_process(COMMAND ${EMULATOR} ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err
                  TIMEOUT 120)
  set(status "${status}" PARENT_SCOPE)
  set(out "${out}" PARENT_SCOPE)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what}: exit status ${status}\n${out}${err}")
  endif()
endfunction()

# /D= comes last.
run("setup.exe /S" "${setup}" /S "/D=${windows_folder}")
check_files("${folder}" "The installed folder")
if(NOT EXISTS "${folder}/uninstall.exe")
  message(FATAL_ERROR "The installer did not put uninstall.exe into ${folder}")
endif()
if(with_window)
  if(NOT EXISTS "${shortcut}")
    message(FATAL_ERROR "No Start-menu entry at ${shortcut}")
  endif()
  run("tamrik-config.exe --version" "${folder}/tamrik-config.exe" --version)
  if(NOT out STREQUAL "tamrik-config ${VERSION}\n${license}")
    message(FATAL_ERROR "tamrik-config.exe --version printed '${out}'")
  endif()
endif()
run("tamrikctl.exe --version" "${folder}/tamrikctl.exe" --version)
if(NOT out STREQUAL "tamrikctl ${VERSION}\n${license}")
  message(FATAL_ERROR "tamrikctl.exe --version printed '${out}'")
endif()
run("reg query" reg query "${key}")
foreach(expected "DisplayName[ \t]+REG_SZ[ \t]+Tamrik Configuration" "DisplayVersion[ \t]+REG_SZ[ \t]+${VERSION}"
                 "QuietUninstallString[ \t]+REG_SZ[ \t]+\"Z:[^\n]*tamrik-config\\\\uninstall.exe\" /S")
  if(NOT out MATCHES "${expected}")
    message(FATAL_ERROR "The uninstall entry lacks '${expected}':\n${out}")
  endif()
endforeach()

# The uninstaller copies itself away and returns at once; the folder goes when it has finished.
run("uninstall.exe /S" "${folder}/uninstall.exe" /S)
foreach(attempt RANGE 120)
  if(NOT EXISTS "${folder}")
    break()
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 0.5)
endforeach()
if(EXISTS "${folder}")
  file(GLOB left RELATIVE "${folder}" "${folder}/*")
  message(FATAL_ERROR "The uninstaller left ${folder} behind, holding: ${left}")
endif()
if(EXISTS "${shortcut}")
  message(FATAL_ERROR "The uninstaller left the Start-menu entry behind")
endif()
execute_process(COMMAND ${EMULATOR} reg query "${key}" RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET TIMEOUT 120)
if(status EQUAL 0)
  message(FATAL_ERROR "The uninstaller left its entry in \"Apps & features\" (${key})")
endif()

# The portable zip: one folder named after the release, holding the same files.
set(zip "${DIST}/tamrik-config-${VERSION}-windows-x64.zip")
file(MAKE_DIRECTORY "${WORK}/zip")
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf "${zip}" WORKING_DIRECTORY "${WORK}/zip" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "Cannot unpack ${zip}")
endif()
check_files("${WORK}/zip/tamrik-config-${VERSION}" "The zip")
list(JOIN files ", " listed)
message("Installed into and uninstalled from ${windows_folder}; the zip holds ${listed}")
