# Installs the build tree into a fresh prefix, checks what was installed, then builds and runs the
# README's consumer against it twice: through the CMake package (find_package(KqPatches)) and
# through the pkg-config file. The consumer defines a function of the same name as one of the
# library's; the library must keep calling its own.
# The example retrieval job, which a service copies out, builds against the installed headers.
# Run as: cmake -DBUILD_DIR=... -DCONSUMER_DIR=... -DEXAMPLES_DIR=... -DWORK_DIR=... -DCXX=...
#         -P InstallAndConsume.cmake
foreach(var BUILD_DIR CONSUMER_DIR EXAMPLES_DIR WORK_DIR CXX)
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
file(GLOB_RECURSE pc_files "${prefix}/*/kqpatches.pc")
list(LENGTH pc_files pc_count)
if(NOT pc_count EQUAL 1)
  message(FATAL_ERROR "kqpatches.pc not installed exactly once: [${pc_files}]")
endif()
get_filename_component(pc_dir "${pc_files}" DIRECTORY)
get_filename_component(lib_dir "${pc_dir}" DIRECTORY)

# Each library under its versioned name, the plain and the major-version names as links to it.
foreach(lib KqPatchesCommon KqPlatform)
  set(real "${lib_dir}/lib${lib}.so.1.0.0")
  if(NOT EXISTS "${real}" OR IS_SYMLINK "${real}")
    message(FATAL_ERROR "lib${lib}.so.1.0.0 is not installed as a file")
  endif()
  foreach(link lib${lib}.so.1 lib${lib}.so)
    file(REAL_PATH "${lib_dir}/${link}" target)
    if(NOT IS_SYMLINK "${lib_dir}/${link}" OR NOT target STREQUAL real)
      message(FATAL_ERROR "${link} is not a link to lib${lib}.so.1.0.0")
    endif()
  endforeach()
endforeach()

# The schema of the Hubnode database, where the README says.
if(NOT EXISTS "${prefix}/share/KqPatches/HubnodeSchema.sql")
  message(FATAL_ERROR "share/KqPatches/HubnodeSchema.sql is not installed")
endif()

# The headers serve the consumer alone: none of the library's internal ones, none that includes
# Boost or pugixml; and the package asks the consumer for neither.
file(GLOB_RECURSE headers RELATIVE "${prefix}/include" "${prefix}/include/*")
foreach(header ${headers})
  if(header MATCHES "Internal\\.h$|/UpdateCacheChecksumBatch\\.h$")
    message(FATAL_ERROR "internal header installed: ${header}")
  endif()
  file(STRINGS "${prefix}/include/${header}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"](boost/|pugixml)")
  if(includes)
    message(FATAL_ERROR "installed header ${header} includes [${includes}]")
  endif()
endforeach()
# Each header compiles alone, strictly, as a consumer's first include; each exports what it
# declares (the libraries are built with hidden visibility).
set(alone "")
foreach(header ${headers})
  file(STRINGS "${prefix}/include/${header}" opens REGEX "^#pragma GCC visibility push\\(default\\)$")
  if(NOT opens)
    message(FATAL_ERROR "installed header ${header} does not export what it declares")
  endif()
  list(APPEND alone "${prefix}/include/${header}")
endforeach()
run("compiling each installed header alone" "${CXX}" -std=c++17 -pedantic -Werror -Wall -Wextra
    -fsyntax-only "-I${prefix}/include/KqPatches/platform" "-I${prefix}/include/KqPatches/common"
    "-I${prefix}/include/KqPatches/common/KqPatchesCommon" "-I${prefix}/include/KqPatches"
    -x c++ ${alone})
file(GLOB package_files "${lib_dir}/cmake/KqPatches/*.cmake")
foreach(f ${package_files} ${pc_files})
  file(READ "${f}" text)
  if(text MATCHES "pkg_check_modules|Boost|PUGIXML|pugixml")
    message(FATAL_ERROR "${f} still asks the consumer for Boost or pugixml")
  endif()
endforeach()
file(READ "${lib_dir}/cmake/KqPatches/KqPatchesTargets.cmake" targets)
string(REGEX MATCHALL "INTERFACE_COMPILE_FEATURES \"cxx_std_17\"" features "${targets}")
list(LENGTH features feature_count)
if(NOT feature_count EQUAL 2)
  message(FATAL_ERROR "the imported targets do not both carry cxx_std_17:\n${targets}")
endif()

# The library's calls to its own functions are bound inside it: no jump slot for IsADirectory.
find_program(READELF readelf)
if(READELF)
  run("readelf" "${READELF}" -W -r "${lib_dir}/libKqPatchesCommon.so.1.0.0")
  if(run_output MATCHES "JUMP_SLOT[^\n]* _Z12IsADirectoryPKc")
    message(FATAL_ERROR "libKqPatchesCommon calls IsADirectory through the dynamic linker")
  endif()
endif()

# Logs of the consumer go to the work folder, not to a shared one.
set(ENV{KQ_LOG_DIR} "${WORK_DIR}/logs")
set(ENV{KQ_CONFIG} "${WORK_DIR}/config.ini")
file(WRITE "${WORK_DIR}/listed/a/b.txt" "b")
set(expected "linux-x8664 /cache/KQMedia/11.0.0/Unix\na\na/b.txt\n")

# The CMake package.
run("configuring the consumer" ${CMAKE_COMMAND} -S "${CONSUMER_DIR}" -B "${WORK_DIR}/build" -G Ninja
    "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_COMPILER=${CXX}")
run("building the consumer" ${CMAKE_COMMAND} --build "${WORK_DIR}/build")
run("running the consumer" "${WORK_DIR}/build/kq_consumer" "${WORK_DIR}/listed")
if(NOT run_output STREQUAL expected)
  message(FATAL_ERROR "the consumer printed [${run_output}], not [${expected}]")
endif()

# The pkg-config file.
run("pkg-config" ${CMAKE_COMMAND} -E env "PKG_CONFIG_PATH=${pc_dir}"
    pkg-config --cflags --libs kqpatches)
string(STRIP "${run_output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run("compiling with pkg-config flags" "${CXX}" -std=c++17 "${CONSUMER_DIR}/consumer.cpp"
    -o "${WORK_DIR}/kq_consumer_pc" ${flags})
run("compiling the example retrieval job against the package" "${CXX}" -std=c++17 -Wall -Wextra
    -Werror -c "${EXAMPLES_DIR}/LocalFolderJob.cpp" -o "${WORK_DIR}/LocalFolderJob.o" ${flags})
run("running the pkg-config consumer" ${CMAKE_COMMAND} -E env "LD_LIBRARY_PATH=${lib_dir}"
    "${WORK_DIR}/kq_consumer_pc" "${WORK_DIR}/listed")
if(NOT run_output STREQUAL expected)
  message(FATAL_ERROR "the pkg-config consumer printed [${run_output}], not [${expected}]")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
