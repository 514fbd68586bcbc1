# 32-bit Arm with hardware floating point (Raspberry Pi OS 32-bit): ./setup.sh package armhf.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(TAMRIK_CROSS_TRIPLET arm-linux-gnueabihf)
set(TAMRIK_CROSS_QEMU qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
