# Cross build for 32-bit ARM Debian machines (armhf).
set(CMAKE_SYSTEM_PROCESSOR arm)
set(JOYBOND_TRIPLET arm-linux-gnueabihf)
set(JOYBOND_QEMU arm)
set(JOYBOND_DEB_ARCHITECTURE armhf)
include(${CMAKE_CURRENT_LIST_DIR}/debian_cross.cmake)
