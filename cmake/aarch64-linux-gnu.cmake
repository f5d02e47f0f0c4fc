# tagjoin for 64-bit ARM Linux (apt-get install g++-aarch64-linux-gnu):
#   cmake -S . -B build-aarch64 --toolchain cmake/aarch64-linux-gnu.cmake -DTAGJOIN_STATIC=ON
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross.cmake)
