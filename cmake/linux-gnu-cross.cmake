# What every cross build for Linux with one of Debian's cross compilers
# shares; the toolchain file of each processor sets CMAKE_SYSTEM_PROCESSOR
# and includes this.  The compiler is g++-PROCESSOR-linux-gnu, and
# qemu-PROCESSOR-static, from Debian's qemu-user-static, runs what it
# builds.
set(CMAKE_SYSTEM_NAME Linux)
set(triplet ${CMAKE_SYSTEM_PROCESSOR}-linux-gnu)
set(CMAKE_CXX_COMPILER ${triplet}-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${CMAKE_SYSTEM_PROCESSOR}-static)

# Headers and libraries from the cross toolchain's own tree, and zlib,
# for tagpick, from the processor's zlib1g-dev as .ci/deps unpacks it;
# programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${triplet} /opt/tagjoin-cross/${triplet})
set(CMAKE_LIBRARY_ARCHITECTURE ${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
