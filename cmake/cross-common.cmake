# Shared by the toolchain files: cross compiling for a Debian triplet with
# Debian's cross compilers (packages g++-<triplet>), whose C library lives in
# /usr/<triplet>.
#
# ZUVA_TARGET_ROOT (optional) is a directory laid out like the target's root
# file system that holds the further libraries the build needs for the target
# (FreeType, libpng, GoogleTest). The cross scripts under scripts/ make one.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${ZUVA_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ZUVA_TRIPLET}-g++)

# try_compile projects read this file again; hand them the root as well.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZUVA_TARGET_ROOT)

set(CMAKE_FIND_ROOT_PATH /usr/${ZUVA_TRIPLET})
if(ZUVA_TARGET_ROOT)
  list(APPEND CMAKE_FIND_ROOT_PATH ${ZUVA_TARGET_ROOT})
  set(_zuva_libdirs
    ${ZUVA_TARGET_ROOT}/usr/lib/${ZUVA_TRIPLET}
    ${ZUVA_TARGET_ROOT}/lib/${ZUVA_TRIPLET}
    ${ZUVA_TARGET_ROOT}/usr/lib)
  # Shared libraries of the root need their own dependencies found at link
  # time (libfreetype needs libpng, zlib, brotli).
  set(_zuva_rpath_link "")
  foreach(dir ${_zuva_libdirs})
    string(APPEND _zuva_rpath_link " -Wl,-rpath-link,${dir}")
  endforeach()
  set(CMAKE_EXE_LINKER_FLAGS_INIT "${_zuva_rpath_link}")
  set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_zuva_rpath_link}")

  # pkg-config must see the target's .pc files and nothing of the build host.
  set(ENV{PKG_CONFIG_LIBDIR}
    "${ZUVA_TARGET_ROOT}/usr/lib/${ZUVA_TRIPLET}/pkgconfig:${ZUVA_TARGET_ROOT}/usr/lib/pkgconfig:${ZUVA_TARGET_ROOT}/usr/share/pkgconfig")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "${ZUVA_TARGET_ROOT}")
  set(ENV{PKG_CONFIG_PATH} "")
else()
  set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${ZUVA_TRIPLET}/pkgconfig:/usr/${ZUVA_TRIPLET}/lib/pkgconfig")
endif()

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
