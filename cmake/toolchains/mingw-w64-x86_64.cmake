# Cross build for 64-bit Windows with Debian's MinGW-w64 compilers (packages g++-mingw-w64-x86-64-posix
# and gcc-mingw-w64-x86-64-posix). The POSIX-threads variants are used because std::thread,
# std::mutex and std::condition_variable need them with this GCC.
#
#   cmake -S . -B build-windows -G Ninja --toolchain cmake/toolchains/mingw-w64-x86_64.cmake
#   (or: cmake --preset windows)
#
# Every program is linked with a static runtime (libgcc, libstdc++, winpthread), so the .exe files
# need no DLL beyond those that Windows itself ships.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
# Windows 10 or later: the per-monitor DPI and locale calls the programs use are there.
set(CMAKE_SYSTEM_VERSION 10.0)

set(TAMRIK_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TAMRIK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAMRIK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TAMRIK_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${TAMRIK_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${TAMRIK_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "Ranlib")

# Headers and libraries come from the MinGW-w64 sysroot only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TAMRIK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime: no libgcc_s_seh-1.dll, libstdc++-6.dll or libwinpthread-1.dll beside the programs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
