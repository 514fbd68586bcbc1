# 64-bit Arm (Raspberry Pi 3 and later with a 64-bit system): ./setup.sh package arm64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TAMRIK_CROSS_TRIPLET aarch64-linux-gnu)
set(TAMRIK_CROSS_QEMU qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
