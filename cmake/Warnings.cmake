# Warning flags for the project's own code, kept in one place.
add_library(snl_warnings INTERFACE)
target_compile_options(snl_warnings INTERFACE -Wall -Wextra -Werror)
