# Cross build for 64-bit ARM Debian machines (arm64).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(JOYBOND_TRIPLET aarch64-linux-gnu)
set(JOYBOND_QEMU aarch64)
set(JOYBOND_DEB_ARCHITECTURE arm64)
include(${CMAKE_CURRENT_LIST_DIR}/debian_cross.cmake)
