# Cross builds for another Debian architecture on amd64, with Debian's cross compilers
# (crossbuild-essential-<arch>) and the target's libraries installed beside this machine's
# (multiarch: libhidapi-dev:<arch>, ...). Included by debian-arm64.cmake and debian-armhf.cmake,
# which name the GNU triplet, the processor and qemu-user's program for the tests.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${TAMRIK_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TAMRIK_CROSS_TRIPLET}-g++)
# The compilers search the triplet's folders of /usr themselves; pkg-config must look only there.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${TAMRIK_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
# Test programs, and those the build runs (test discovery), run under qemu-user with the target's
# libraries from / (no binfmt registration needed).
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/${TAMRIK_CROSS_QEMU};-L;/)
# Qt's tools that run during the build (moc, uic, rcc) are this machine's.
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
