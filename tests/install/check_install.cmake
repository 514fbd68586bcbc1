# Installs the build into a scratch prefix and checks that every installed piece is there.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "install failed:\n${output}")
endif()
foreach(path bin/tamrik-config bin/tamrikctl lib/udev/rules.d/70-tamrik.rules lib/systemd/system/tamrik-gps-bridge@.service
             lib/systemd/system/tamrik-exporter.service share/doc/tamrikctl/examples/tamrik-alerts.yml
             share/doc/tamrikctl/examples/tamrik-dashboard.json
             share/icons/hicolor/scalable/apps/tamrik-config.svg
             share/man/man1/tamrik-config.1.gz share/man/man1/tamrikctl.1.gz
             share/doc/tamrikctl/README.md)
  if(NOT EXISTS ${PREFIX}/${path})
    message(FATAL_ERROR "not installed: ${path}\n${output}")
  endif()
endforeach()
# The desktop entry and the AppStream metadata are named after the programs' AppStream IDs.
foreach(pattern share/applications/*.desktop share/metainfo/*tamrik_config.metainfo.xml share/metainfo/*tamrikctl.metainfo.xml)
  file(GLOB found ${PREFIX}/${pattern})
  list(LENGTH found count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "expected one ${pattern}, found: ${found}\n${output}")
  endif()
endforeach()
message(STATUS "installed: ${output}")
