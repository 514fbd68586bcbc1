# Installs the build into a scratch prefix and checks that every installed piece is there.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "install failed:\n${output}")
endif()
foreach(path bin/tamrik-config bin/tamrikctl share/applications/tamrik-config.desktop lib/udev/rules.d/70-tamrik.rules)
  if(NOT EXISTS ${PREFIX}/${path})
    message(FATAL_ERROR "not installed: ${path}\n${output}")
  endif()
endforeach()
message(STATUS "installed: ${output}")
