# Builds the Windows installer and the portable zip from a Windows build (CMake target
# windows_installer):
#   cmake -DVERSION=<x.y.z> -DTAMRIKCTL=<tamrikctl.exe> -DWINDOW=<tamrik-config.exe> -DCOPYING=<the GPL's text>
#         -DLICENSE=<hidapi BSD licence> -DHTTPLIB_LICENSE=<cpp-httplib's MIT licence> -DSTRIP=<strip> -DMAKENSIS=<makensis> -DNSI=<tamrik-config.nsi>
#         -DOUT=<folder> -DRELEASE=<ON|OFF> -P build_installer.cmake
# The programs are stripped of their debug information on the way; their licence goes beside them as
# COPYING.txt, with Windows' line ends, which Notepad and the installer's licence page show. Without
# tamrik-config.exe a release stops here; any other build makes an installer and a zip of
# tamrikctl.exe alone, and says so.
cmake_minimum_required(VERSION 3.25)

set(stage "${OUT}/stage")
set(setup "${OUT}/tamrik-config-${VERSION}-setup.exe")
set(zip "${OUT}/tamrik-config-${VERSION}-windows-x64.zip")
file(REMOVE_RECURSE "${stage}" "${setup}" "${zip}")
file(MAKE_DIRECTORY "${stage}")

function(stage_program source name)
  execute_process(COMMAND "${STRIP}" --strip-all -o "${stage}/${name}" "${source}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "Cannot strip ${source} into ${stage}/${name}")
  endif()
endfunction()

stage_program("${TAMRIKCTL}" tamrikctl.exe)
if(EXISTS "${WINDOW}")
  stage_program("${WINDOW}" tamrik-config.exe)
elseif(RELEASE)
  message(FATAL_ERROR "tamrik-config.exe is missing (looked for ${WINDOW}): a release installs both programs")
else()
  message(WARNING "tamrik-config.exe is missing (looked for ${WINDOW}): the installer and the zip hold tamrikctl.exe only")
endif()
if(NOT EXISTS "${COPYING}")
  message(FATAL_ERROR "The programs' licence is missing (looked for ${COPYING})")
endif()
file(READ "${COPYING}" text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${stage}/COPYING.txt" "${text}")
file(COPY_FILE "${LICENSE}" "${stage}/hidapi-LICENSE-bsd.txt")
file(READ "${HTTPLIB_LICENSE}" text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${stage}/cpp-httplib-LICENSE.txt" "${text}")

set(defines "-DVERSION=${VERSION}" "-DSTAGE=${stage}" "-DOUTFILE=${setup}")
if(RELEASE)
  list(APPEND defines -DRELEASE)
endif()
execute_process(COMMAND "${MAKENSIS}" -V2 -NOCD ${defines} "${NSI}" RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT EXISTS "${setup}")
  message(FATAL_ERROR "makensis could not build ${setup}")
endif()

# The zip unpacks into one folder named after the release.
set(folder "tamrik-config-${VERSION}")
file(REMOVE_RECURSE "${OUT}/zip")
file(MAKE_DIRECTORY "${OUT}/zip")
file(COPY "${stage}/" DESTINATION "${OUT}/zip/${folder}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar cf "${zip}" --format=zip "${folder}"
                WORKING_DIRECTORY "${OUT}/zip" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "Cannot pack ${zip}")
endif()
message("Built ${setup}\nBuilt ${zip}")
