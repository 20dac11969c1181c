# A toolchain that names a pointer size (cmake/toolchain-i386.cmake) gets it checked here, once
# the compiler is known: a lost -m32 must fail the configure step, not build a 64-bit library.
if(DEFINED SNL_TARGET_POINTER_SIZE AND NOT CMAKE_SIZEOF_VOID_P EQUAL SNL_TARGET_POINTER_SIZE)
  message(FATAL_ERROR "Pointer size is ${CMAKE_SIZEOF_VOID_P} bytes, the toolchain asks for "
    "${SNL_TARGET_POINTER_SIZE}: were the -m32 flags replaced by a CMAKE_<LANG>_FLAGS given on "
    "the command line? Pass extra flags through CMAKE_<LANG>_FLAGS_INIT or the toolchain file.")
endif()
