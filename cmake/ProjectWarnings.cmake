# project_warnings(<target>): our own targets build with warnings as errors. clang (the fuzzing
# build) also flags private fields that nothing reads; some are kept for the class layout.
function(project_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Werror
                                           $<$<CXX_COMPILER_ID:Clang>:-Wno-unused-private-field>)
endfunction()
