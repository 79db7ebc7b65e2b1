# Installs the build tree into a fresh prefix, then builds and runs a small program against it
# twice: through the CMake package (find_package(KqPatches)) and through the pkg-config file.
# Run as: cmake -DBUILD_DIR=... -DCONSUMER_DIR=... -DWORK_DIR=... -DCXX=... -P InstallAndConsume.cmake
foreach(var BUILD_DIR CONSUMER_DIR WORK_DIR CXX)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
run("install" ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}")
# Logs of the consumer go to the work folder, not to a shared one.
set(ENV{KQ_LOG_DIR} "${WORK_DIR}/logs")
set(ENV{KQ_CONFIG} "${WORK_DIR}/config.ini")

# The CMake package.
run("configuring the consumer" ${CMAKE_COMMAND} -S "${CONSUMER_DIR}" -B "${WORK_DIR}/build" -G Ninja
    "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_COMPILER=${CXX}")
run("building the consumer" ${CMAKE_COMMAND} --build "${WORK_DIR}/build")
run("running the consumer" "${WORK_DIR}/build/kq_consumer")
if(NOT run_output STREQUAL "ok\n")
  message(FATAL_ERROR "the consumer printed [${run_output}]")
endif()

# The pkg-config file.
file(GLOB_RECURSE pc_files "${prefix}/*/kqpatches.pc")
list(LENGTH pc_files pc_count)
if(NOT pc_count EQUAL 1)
  message(FATAL_ERROR "kqpatches.pc not installed exactly once: [${pc_files}]")
endif()
get_filename_component(pc_dir "${pc_files}" DIRECTORY)
run("pkg-config" ${CMAKE_COMMAND} -E env "PKG_CONFIG_PATH=${pc_dir}"
    pkg-config --cflags --libs kqpatches)
string(STRIP "${run_output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run("compiling with pkg-config flags" "${CXX}" -std=c++17 "${CONSUMER_DIR}/consumer.cpp"
    -o "${WORK_DIR}/kq_consumer_pc" ${flags})
get_filename_component(lib_dir "${pc_dir}" DIRECTORY)
run("running the pkg-config consumer" ${CMAKE_COMMAND} -E env "LD_LIBRARY_PATH=${lib_dir}"
    "${WORK_DIR}/kq_consumer_pc")
if(NOT run_output STREQUAL "ok\n")
  message(FATAL_ERROR "the pkg-config consumer printed [${run_output}]")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
