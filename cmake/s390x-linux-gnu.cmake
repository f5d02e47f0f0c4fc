# tagjoin for IBM Z Linux, which is big-endian (apt-get install
# g++-s390x-linux-gnu): the build that shows whether the program holds in
# either byte order.
#   cmake -S . -B build-s390x --toolchain cmake/s390x-linux-gnu.cmake -DTAGJOIN_STATIC=ON
set(CMAKE_SYSTEM_PROCESSOR s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross.cmake)
