# The README shows the consumer that InstallAndConsume builds: each file of tests/install/consumer
# appears there, verbatim, as the fenced block that follows a line "<!-- consumer/<file> -->".
# Run as: cmake -DREADME=... -DCONSUMER_DIR=... -P ReadmeConsumer.cmake
file(READ "${README}" readme)
foreach(name consumer.cpp CMakeLists.txt)
  set(marker "<!-- consumer/${name} -->\n```")
  string(FIND "${readme}" "${marker}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "README.md has no block marked consumer/${name}")
  endif()
  string(SUBSTRING "${readme}" ${at} -1 rest)
  string(FIND "${rest}" "\n" first_line_end)   # the marker line
  math(EXPR skip "${first_line_end} + 1")
  string(SUBSTRING "${rest}" ${skip} -1 rest)
  string(FIND "${rest}" "\n" fence_end)        # the opening fence
  math(EXPR skip "${fence_end} + 1")
  string(SUBSTRING "${rest}" ${skip} -1 rest)
  string(FIND "${rest}" "\n```\n" close)
  if(close EQUAL -1)
    message(FATAL_ERROR "the README's block of consumer/${name} is not closed")
  endif()
  math(EXPR length "${close} + 1")
  string(SUBSTRING "${rest}" 0 ${length} shown)
  file(READ "${CONSUMER_DIR}/${name}" actual)
  if(NOT shown STREQUAL actual)
    message(FATAL_ERROR "README.md shows a consumer/${name} that differs from "
                        "tests/install/consumer/${name}:\n--- README\n${shown}--- file\n${actual}")
  endif()
endforeach()
