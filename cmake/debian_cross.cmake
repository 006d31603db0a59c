# What every cross build for a Debian machine shares: Debian 12's cross toolchain for
# JOYBOND_TRIPLET (g++-<triplet>), its libraries under /usr/<triplet>, and target binaries run
# here under Debian's qemu user-mode emulator (qemu-<JOYBOND_QEMU>). Included by the toolchain
# file of each target, which sets those two and JOYBOND_DEB_ARCHITECTURE.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${JOYBOND_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${JOYBOND_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${JOYBOND_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${JOYBOND_QEMU} -L /usr/${JOYBOND_TRIPLET})
