# Makes the release artifacts: for x86-64 and aarch64, a tarball
# tagjoin-VERSION-linux-ARCH.tar.gz and a .deb, each holding the program
# linked statically, its man page, the README and the licence.
#
#   cmake -P cmake/release.cmake        # artifacts in dist/
#
# The aarch64 build needs Debian's g++-aarch64-linux-gnu; both builds go to
# build-release/ARCH.  Before anything is kept, each program built is run
# on examples/sample.txt (the aarch64 one under qemu-aarch64-static) and
# must give the bytes that the x86-64 one gives.
cmake_minimum_required(VERSION 3.25)
get_filename_component(source ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)
set(dist ${source}/dist)
set(sample ${source}/examples/sample.txt)

function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${source}
    COMMAND_ERROR_IS_FATAL ANY)
endfunction()

# Builds the program for one processor and makes its packages in dist/.
function(release arch)
  set(build ${source}/build-release/${arch})
  set(toolchain)
  if(NOT arch STREQUAL "x86_64")
    set(toolchain --toolchain ${source}/cmake/${arch}-linux-gnu.cmake)
  endif()
  run(${CMAKE_COMMAND} -S ${source} -B ${build} ${toolchain}
    -DCMAKE_BUILD_TYPE=Release -DTAGJOIN_STATIC=ON -DTAGJOIN_TESTS=OFF)
  run(${CMAKE_COMMAND} --build ${build} --target tagjoin -j2)
  run(cpack --config ${build}/CPackConfig.cmake -B ${build}/packages)
  file(GLOB made ${build}/packages/*.tar.gz ${build}/packages/*.deb)
  file(COPY ${made} DESTINATION ${dist})
endfunction()

# The joined sample from a program: run under the emulator given, if any.
function(joined_sample out)
  execute_process(COMMAND ${ARGN} INPUT_FILE ${sample}
    OUTPUT_VARIABLE joined RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed on ${sample}: ${status}")
  endif()
  set(${out} "${joined}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${dist})
release(x86_64)
release(aarch64)
joined_sample(want ${source}/build-release/x86_64/tagjoin)
joined_sample(got qemu-aarch64-static ${source}/build-release/aarch64/tagjoin)
if(NOT got STREQUAL want)
  message(FATAL_ERROR "the aarch64 program joins the sample differently")
endif()
file(GLOB artifacts RELATIVE ${dist} ${dist}/*)
list(JOIN artifacts "\n  " listing)
message(STATUS "in ${dist}:\n  ${listing}")
