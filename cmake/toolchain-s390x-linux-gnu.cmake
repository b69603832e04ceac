# 64-bit big-endian s390x: a big-endian machine that Debian fully supports,
# so the whole test suite can be built and run under qemu-user to catch byte
# order faults before they reach the box.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-s390x-linux-gnu.cmake \
#         -DZUVA_TARGET_ROOT=<root with the s390x libraries> ...
# scripts/cross-test-s390x.sh does all of it.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(ZUVA_TRIPLET s390x-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)

# Test discovery and ctest run the target's programs through qemu. The C
# library comes from the cross toolchain's directory, the rest from the root.
find_program(ZUVA_QEMU_S390X NAMES qemu-s390x qemu-s390x-static)
if(ZUVA_QEMU_S390X)
  set(_zuva_ld_path "${ZUVA_TARGET_ROOT}/usr/lib/${ZUVA_TRIPLET}:${ZUVA_TARGET_ROOT}/lib/${ZUVA_TRIPLET}")
  set(CMAKE_CROSSCOMPILING_EMULATOR
    ${ZUVA_QEMU_S390X} -L /usr/${ZUVA_TRIPLET} -E LD_LIBRARY_PATH=${_zuva_ld_path})
endif()
