# Windows builds (64-bit, MinGW-w64; see cmake/toolchains/mingw-w64-x86_64.cmake).
#
# Every source sees the wide-character Windows API of Windows 10, without the min/max macros that
# would break std::min and std::max.
add_compile_definitions(UNICODE _UNICODE NOMINMAX WINVER=0x0A00 _WIN32_WINNT=0x0A00)

# Built on Linux, the programs and tests run under Wine: CTest and gtest_discover_tests start every
# Windows program through the wrapper below, in a Wine prefix of this build folder of its own.
if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(TAMRIK_WINE NAMES wine64 wine PATHS /usr/lib/wine /usr/lib/wine64 NO_CACHE)
  find_program(TAMRIK_WINESERVER NAMES wineserver64 wineserver PATHS /usr/lib/wine /usr/lib/wine64 NO_CACHE)
  if(TAMRIK_WINE AND TAMRIK_WINESERVER)
    set(TAMRIK_WINEPREFIX ${PROJECT_BINARY_DIR}/wine-prefix)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${PROJECT_BINARY_DIR}/wine-run.sh
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                    WORLD_READ WORLD_EXECUTE @ONLY)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_BINARY_DIR}/wine-run.sh)
    message(STATUS "Windows programs run under ${TAMRIK_WINE} in ${TAMRIK_WINEPREFIX}")
  else()
    message(STATUS "No Wine found: the Windows programs are built but their tests cannot run here")
  endif()
endif()
