# Every target of the project compiles with all warnings as errors.
add_compile_options(-Wall -Wextra -Werror)

# Clang also checks the lock annotations (core/thread_annotations.h): a member guarded by
# a mutex used without it, or a lock rule broken, fails the build like any warning.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  add_compile_options(-Wthread-safety)
endif()
