# Every target of the project compiles with all warnings as errors.
add_compile_options(-Wall -Wextra -Werror)
