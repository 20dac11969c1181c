# SNL_SANITIZE=address builds everything with ASan+UBSan, SNL_SANITIZE=thread with TSan.
if(SNL_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  # With ASan's instrumentation GCC 12 reports uninitialised members inside libstdc++ itself
  # (std::function in <regex>) that are not there; the plain build keeps the warning.
  add_compile_options(-Wno-maybe-uninitialized)
  add_link_options(-fsanitize=address,undefined)
elseif(SNL_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT SNL_SANITIZE STREQUAL "")
  message(FATAL_ERROR "SNL_SANITIZE must be '', 'address' or 'thread'")
endif()
