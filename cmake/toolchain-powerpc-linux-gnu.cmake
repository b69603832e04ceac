# 32-bit big-endian PowerPC, the set-top box's processor.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-powerpc-linux-gnu.cmake \
#         -DZUVA_TARGET_ROOT=<root with FreeType for the box> ...
# scripts/cross-build-powerpc.sh does all of it.
set(CMAKE_SYSTEM_PROCESSOR powerpc)
set(ZUVA_TRIPLET powerpc-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)
