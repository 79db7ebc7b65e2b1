# What the two shared libraries show a program that links them: the names they export are those
# of their installed headers (none of Boost, pugixml or isal, none of the library's internal
# pieces), and no path of the folders they were built from is written in them.
# Run as: cmake -DLIBRARIES=<lib;lib> -DSOURCE_DIR=... -DBINARY_DIR=... -DNM=... [-DCHECK_PATHS=ON]
#         -P ExportedSurface.cmake
foreach(var LIBRARIES SOURCE_DIR BINARY_DIR NM)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

# Names declared only in headers that are not installed, or only in source files, and the
# namespaces of the libraries used inside.
set(internal_names "boost::" "pugi::" "isal_" "kqlists::" "ChecksumBatch" "KqIsPlainFolderName"
    "isSPFileLessThan" "CalculateClosureWithLog" "PackageDependencyIndex" "KqPlatformLineLookup")

set(failures "")
foreach(lib ${LIBRARIES})
  execute_process(COMMAND "${NM}" -D --defined-only -C "${lib}"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE symbols ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm ${lib} failed (${rc}): ${err}")
  endif()
  string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
  list(LENGTH lines count)
  if(count LESS 100)
    list(APPEND failures "${lib} exports only ${count} names")
  endif()
  set(found 0)
  foreach(line ${lines})
    foreach(name ${internal_names})
      string(FIND "${line}" "${name}" at)
      if(at GREATER -1 AND found LESS 10)
        list(APPEND failures "${lib} exports ${line}")
        math(EXPR found "${found} + 1")
      endif()
    endforeach()
  endforeach()

  if(CHECK_PATHS)
    file(STRINGS "${lib}" texts REGEX "^/")
    foreach(dir "${SOURCE_DIR}" "${BINARY_DIR}")
      foreach(text ${texts})
        string(FIND "${text}" "${dir}" at)
        if(at EQUAL 0)
          list(APPEND failures "${lib} holds the build folder's path ${text}")
          break()
        endif()
      endforeach()
    endforeach()
  endif()
endforeach()

if(failures)
  list(JOIN failures "\n" text)
  message(FATAL_ERROR "${text}")
endif()
