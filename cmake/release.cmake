# Makes the release artifacts: for x86-64 and aarch64, a tarball
# tagjoin-VERSION-linux-ARCH.tar.gz and a .deb, each holding tagjoin and
# tagpick linked statically (tagpick with ISA-L, built from Debian's source
# package by cmake/static-isal.sh), their man pages, the README and the
# licence; a container image, tagjoin-VERSION-image-ARCH.tar, an OCI
# archive holding the same and join-one (cmake/oci-image.py, with
# Debian's mmdebstrap); and SHA256SUMS, the checksums of them all.
#
#   cmake [-DOUT=DIR] [-DQEMU_AARCH64=EMULATOR] [-DTAGJOIN_MAINTAINER="NAME <ADDRESS>"]
#         -P cmake/release.cmake
#
# The aarch64 build needs Debian's g++-aarch64-linux-gnu, the x86-64 ISA-L
# nasm; both builds go to OUT/build-release/ARCH (OUT is the source folder
# unless named), ISA-L to OUT/build-release/isal, the artifacts to
# OUT/build-release/staging.  Only when each program built runs on
# examples/sample.txt (the aarch64 one under qemu-aarch64-static, or the
# EMULATOR named) and gives the bytes that the x86-64 one gives, and each
# tagpick says it inflates with ISA-L, does the staging folder become
# OUT/dist; a release that fails leaves no dist/ at all, so that nothing
# unchecked can be taken for a release.
cmake_minimum_required(VERSION 3.25)
get_filename_component(source ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)
if(NOT DEFINED OUT)
  set(OUT ${source})
endif()
# A relative OUT is taken from where cmake runs, not from the source.
get_filename_component(OUT "${OUT}" ABSOLUTE)
file(STRINGS ${source}/CMakeLists.txt project_line
  REGEX "^project\\(tagjoin VERSION [0-9.]+")
string(REGEX REPLACE ".*VERSION ([0-9.]+).*" "\\1" version "${project_line}")
if(NOT DEFINED QEMU_AARCH64)
  set(QEMU_AARCH64 qemu-aarch64-static)
endif()
set(dist ${OUT}/dist)
set(staging ${OUT}/build-release/staging)
set(sample ${source}/examples/sample.txt)

function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${source}
    COMMAND_ERROR_IS_FATAL ANY)
endfunction()

# Builds the program for one processor and stages its packages.
function(release arch)
  set(build ${OUT}/build-release/${arch})
  set(toolchain)
  if(NOT arch STREQUAL "x86_64")
    set(toolchain --toolchain ${source}/cmake/${arch}-linux-gnu.cmake)
  endif()
  set(maintainer)
  if(DEFINED TAGJOIN_MAINTAINER)
    set(maintainer "-DTAGJOIN_MAINTAINER=${TAGJOIN_MAINTAINER}")
  endif()
  set(isal ${OUT}/build-release/isal)
  run(bash ${source}/cmake/static-isal.sh ${arch} ${isal})
  run(${CMAKE_COMMAND} -S ${source} -B ${build} ${toolchain} ${maintainer}
    -DCMAKE_BUILD_TYPE=Release -DTAGJOIN_STATIC=ON -DTAGJOIN_RELEASE=ON
    -DTAGJOIN_TESTS=OFF -DTAGPICK_INFLATE=isal -DISAL_INCLUDE_DIR=${isal}/${arch}/include
    -DISAL_LIBRARY=${isal}/${arch}/lib/libisal.a)
  run(${CMAKE_COMMAND} --build ${build} --target tagjoin tagpick -j2)
  # Only what this run packs may be staged, not what an earlier one left.
  file(REMOVE_RECURSE ${build}/packages)
  run(cpack --config ${build}/CPackConfig.cmake -B ${build}/packages)
  file(GLOB made ${build}/packages/*.tar.gz ${build}/packages/*.deb)
  file(COPY ${made} DESTINATION ${staging})
  # The image holds what the packages hold, installed as they install it.
  set(prefix ${build}/image-prefix)
  file(REMOVE_RECURSE ${prefix})
  run(${CMAKE_COMMAND} --install ${build} --prefix ${prefix})
  run(python3 ${source}/cmake/oci-image.py ${arch} ${prefix} ${source}/scripts/join-one
    ${version} ${revision} ${staging}/tagjoin-${version}-image-${arch}.tar)
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

# The image names the commit it was made from, and takes its date.
execute_process(COMMAND git rev-parse HEAD WORKING_DIRECTORY ${source}
  OUTPUT_VARIABLE revision OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)

file(REMOVE_RECURSE ${dist} ${staging})
release(x86_64)
release(aarch64)
joined_sample(want ${OUT}/build-release/x86_64/tagjoin)
joined_sample(got ${QEMU_AARCH64} ${OUT}/build-release/aarch64/tagjoin)
if(NOT got STREQUAL want)
  message(FATAL_ERROR "the aarch64 program joins the sample differently")
endif()
# Each tagpick inflates with ISA-L, the library that makes it fast.
foreach(program "${OUT}/build-release/x86_64/tagpick"
    "${QEMU_AARCH64};${OUT}/build-release/aarch64/tagpick")
  execute_process(COMMAND ${program} --version OUTPUT_VARIABLE said
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT said MATCHES "inflating with ISA-L ")
    message(FATAL_ERROR "${program} --version: ${said} (status ${status}), not ISA-L")
  endif()
endforeach()
# The staging folder holds exactly the artifacts named, no more.
file(GLOB staged RELATIVE ${staging} ${staging}/*)
list(SORT staged)
set(named tagjoin-${version}-linux-aarch64.tar.gz tagjoin-${version}-linux-x86_64.tar.gz
  tagjoin_${version}_amd64.deb tagjoin_${version}_arm64.deb
  tagjoin-${version}-image-aarch64.tar tagjoin-${version}-image-x86_64.tar)
list(SORT named)
if(NOT staged STREQUAL named)
  message(FATAL_ERROR "staged ${staged}, not the artifacts named: ${named}")
endif()
# In the form sha256sum --check reads.
set(sums)
foreach(artifact ${named})
  file(SHA256 ${staging}/${artifact} sum)
  string(APPEND sums "${sum}  ${artifact}\n")
endforeach()
file(WRITE ${staging}/SHA256SUMS "${sums}")
file(RENAME ${staging} ${dist})
file(GLOB artifacts RELATIVE ${dist} ${dist}/*)
list(JOIN artifacts "\n  " listing)
message(STATUS "in ${dist}:\n  ${listing}")
