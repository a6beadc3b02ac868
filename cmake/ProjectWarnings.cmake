# project_warnings(<target>): our own targets build with warnings as errors.
function(project_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Werror)
endfunction()
