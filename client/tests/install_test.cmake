# Installs the build into a scratch prefix, then builds and runs a C application against the
# installed library twice: once with the flags of pkg-config, once through find_package.
# Variables: BUILD_DIR, SOURCE_DIR (the consumer project), WORK_DIR.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component Unspecified)
file(GLOB_RECURSE pc_files ${prefix}/*/TrindleAgentAPI.pc)
list(GET pc_files 0 pc_file)
get_filename_component(pc_dir ${pc_file} DIRECTORY)
get_filename_component(lib_dir ${pc_dir} DIRECTORY)

set(ENV{PKG_CONFIG_PATH} ${pc_dir})
run(pkg-config --cflags --libs TrindleAgentAPI)
string(STRIP "${output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(cc ${SOURCE_DIR}/consumer.c ${flags} -o ${WORK_DIR}/consumer_pc)
set(ENV{LD_LIBRARY_PATH} ${lib_dir})
run(${WORK_DIR}/consumer_pc)

run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/consumer_build -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer_build)
run(${WORK_DIR}/consumer_build/consumer)
file(REMOVE_RECURSE ${WORK_DIR})
