# Installs the build into a scratch prefix, then builds the embedding guide's
# example exactly as the guide shows it: once with its CMake project
# (find_package(Quorvelle)), once with its pkg-config line. Run with cmake -P.
# QV_LINK_FLAGS (optional): the build's own linker flags, which a sanitized
# library needs in every program that links it.
foreach(var QV_BINARY_DIR QV_SOURCE_DIR QV_WORK_DIR QV_CXX QV_GENERATOR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
endfunction()

# The fenced block of `language` in the guide (the first one).
function(guide_block language into)
  file(READ ${QV_SOURCE_DIR}/docs/embedding.md guide)
  string(FIND "${guide}" "```${language}\n" start)
  if(start LESS 0)
    message(FATAL_ERROR "docs/embedding.md has no ${language} block")
  endif()
  string(LENGTH "```${language}\n" skip)
  math(EXPR start "${start} + ${skip}")
  string(SUBSTRING "${guide}" ${start} -1 rest)
  string(FIND "${rest}" "```" end)
  string(SUBSTRING "${rest}" 0 ${end} block)
  set(${into} "${block}" PARENT_SCOPE)
endfunction()

set(prefix ${QV_WORK_DIR}/prefix)
set(example ${QV_WORK_DIR}/example)
file(REMOVE_RECURSE ${QV_WORK_DIR})
file(MAKE_DIRECTORY ${example})
run(${CMAKE_COMMAND} --install ${QV_BINARY_DIR} --prefix ${prefix})

# Exactly the headers the guide lists are installed, nothing internal.
file(READ ${QV_SOURCE_DIR}/docs/embedding.md guide)
string(REGEX MATCHALL "`include/quorvelle/[a-z]+/[a-z]+\\.h`" listed "${guide}")
list(TRANSFORM listed REPLACE "`include/quorvelle/([a-z]+/[a-z]+\\.h)`" "\\1")
list(SORT listed)
file(GLOB_RECURSE installed RELATIVE ${prefix}/include/quorvelle ${prefix}/include/quorvelle/*)
list(SORT installed)
if(NOT listed OR NOT "${listed}" STREQUAL "${installed}")
  message(FATAL_ERROR "installed headers (${installed}) differ from docs/embedding.md (${listed})")
endif()

guide_block(cpp code)
string(REGEX MATCHALL "\n" newlines "${code}")
list(LENGTH newlines lines)
if(lines GREATER_EQUAL 40)
  message(FATAL_ERROR "the guide's example has ${lines} lines; it should stay under 40")
endif()
file(WRITE ${example}/call.cpp "${code}")
guide_block(cmake project)
file(WRITE ${example}/CMakeLists.txt "${project}")

# With the CMake package.
run(${CMAKE_COMMAND} -S ${example} -B ${example}/build -G ${QV_GENERATOR}
    -DCMAKE_CXX_COMPILER=${QV_CXX} -DCMAKE_PREFIX_PATH=${prefix} "-DCMAKE_EXE_LINKER_FLAGS=${QV_LINK_FLAGS}")
run(${CMAKE_COMMAND} --build ${example}/build)
execute_process(COMMAND ${example}/build/call RESULT_VARIABLE rc ERROR_VARIABLE usage)
if(NOT rc EQUAL 2 OR NOT usage MATCHES "^usage: ")
  message(FATAL_ERROR "the example built with CMake does not run: ${rc} ${usage}")
endif()

# With pkg-config, using the guide's command line.
guide_block(sh shell)
string(REGEX MATCH "c\\+\\+ [^\n]*" compile "${shell}")
string(REGEX REPLACE "^c\\+\\+ " "" compile "${compile}")
string(REGEX REPLACE " \\$\\(pkg-config --cflags --libs quorvelle\\)$" "" compile "${compile}")
separate_arguments(compile UNIX_COMMAND "${compile}")
file(GLOB pcdirs ${prefix}/lib*/pkgconfig ${prefix}/lib/*/pkgconfig)
string(REPLACE ";" ":" pcpath "${pcdirs}")
set(ENV{PKG_CONFIG_PATH} ${pcpath})
execute_process(COMMAND pkg-config --cflags --libs quorvelle RESULT_VARIABLE rc OUTPUT_VARIABLE flags
                ERROR_VARIABLE err OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know quorvelle: ${err}")
endif()
separate_arguments(flags UNIX_COMMAND "${flags} ${QV_LINK_FLAGS}")
execute_process(COMMAND ${QV_CXX} ${compile} ${flags} WORKING_DIRECTORY ${example} RESULT_VARIABLE rc
                ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the pkg-config build failed: ${err}")
endif()
execute_process(COMMAND ${example}/call RESULT_VARIABLE rc ERROR_VARIABLE usage)
if(NOT rc EQUAL 2 OR NOT usage MATCHES "^usage: ")
  message(FATAL_ERROR "the example built with pkg-config does not run: ${rc} ${usage}")
endif()
message(STATUS "installed package builds the guide's example with CMake and with pkg-config")
