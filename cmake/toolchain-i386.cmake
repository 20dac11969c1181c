# 32-bit x86 build on a 64-bit Debian host with g++-multilib:
#   cmake -S . -B build-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i386.cmake \
#         [-DSNL_I386_SYSROOT=<dir with the i386 development files>]
# -m32 goes into the *_FLAGS_INIT variables: a CMAKE_CXX_FLAGS given on the command line replaces
# the initial value and would silently drop it, which the pointer-size check at configure time
# then reports. The i386 .so links, .pc and CMake files of libusb and yaml-cpp cannot be installed
# beside their amd64 twins; tools/ci-i386.sh unpacks them into SNL_I386_SYSROOT.
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(FIND_LIBRARY_USE_LIB64_PATHS OFF)
set(SNL_TARGET_POINTER_SIZE 4)

# Passed on to try_compile projects, which read this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SNL_I386_SYSROOT)
if(SNL_I386_SYSROOT)
  list(PREPEND CMAKE_PREFIX_PATH ${SNL_I386_SYSROOT}/usr)
  set(ENV{PKG_CONFIG_LIBDIR}
      "${SNL_I386_SYSROOT}/usr/lib/i386-linux-gnu/pkgconfig:/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")
else()
  set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")
endif()
