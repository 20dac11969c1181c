# The headers installed for applications: the watchdog's C interface and VPD accessors, and every
# toolkit header under DOdudo/ (found by glob, so a new toolkit header is installed without an
# entry here) except the few listed as internal below, plus whatever project header those include.
set(SNL_INTERNAL_HEADERS
  DOdudo/host/KInitOrder.h      # order of the library's own static objects
  DOdudo/host/KVaArgs.h         # variadic-argument helper of the toolkit's own sources
  DOdudo/KLogServerLink.h       # the log manager's private server connection
)

# snl_installed_headers(<out-var>): the list above, relative to the source root.
function(snl_installed_headers out)
  file(GLOB_RECURSE toolkit RELATIVE ${CMAKE_SOURCE_DIR} CONFIGURE_DEPENDS
    ${CMAKE_SOURCE_DIR}/DOdudo/*.h)
  list(REMOVE_ITEM toolkit ${SNL_INTERNAL_HEADERS})
  list(SORT toolkit)
  snl_public_headers(headers snl/snl.h snl/SNLKVAInternal.h ${toolkit})
  set(${out} ${headers} PARENT_SCOPE)
endfunction()

# snl_public_headers(<out-var> <header>...): the given headers (paths relative to the source
# root) plus every project header they include with "..." quotes, followed recursively, so that
# the installed set always compiles on its own whatever the public headers come to include.
function(snl_public_headers out)
  set(pending ${ARGN})
  set(found "")
  while(pending)
    list(POP_FRONT pending header)
    if(header IN_LIST found OR NOT EXISTS ${CMAKE_SOURCE_DIR}/${header})
      continue()
    endif()
    list(APPEND found ${header})
    get_filename_component(dir ${header} DIRECTORY)
    file(STRINGS ${CMAKE_SOURCE_DIR}/${header} lines REGEX "^[ \t]*#[ \t]*include[ \t]+\"")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]+\"([^\"]+)\".*" "\\1" inc "${line}")
      # Project headers are included from the source root; fall back to the including directory.
      if(NOT EXISTS ${CMAKE_SOURCE_DIR}/${inc} AND dir AND EXISTS ${CMAKE_SOURCE_DIR}/${dir}/${inc})
        set(inc ${dir}/${inc})
      endif()
      list(APPEND pending ${inc})
    endforeach()
  endwhile()
  set(${out} ${found} PARENT_SCOPE)
endfunction()
