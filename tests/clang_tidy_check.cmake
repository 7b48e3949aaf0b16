# clang-tidy as a test, file by file, remembering each file that passed:
# a file is judged again only when something that could change the verdict
# has changed (the file, any of the programs' headers, .clang-tidy, the
# compile commands or clang-tidy itself), so a warm run judges only what
# was edited and a cold one judges everything.
#   cmake -DCLANG_TIDY=... -DBUILD=... -DSTAMPS=... -DCONFIG=... -DHEADERS=a;b
#         -DSOURCES=a;b -P clang_tidy_check.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${CLANG_TIDY} --version OUTPUT_VARIABLE context RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${CLANG_TIDY} --version failed (${result})")
endif()
foreach(input IN LISTS CONFIG HEADERS ITEMS ${BUILD}/compile_commands.json)
  file(SHA256 ${input} digest)
  string(APPEND context "${input} ${digest}\n")
endforeach()

file(MAKE_DIRECTORY ${STAMPS})
set(failed "")
foreach(source IN LISTS SOURCES)
  file(SHA256 ${source} digest)
  string(SHA256 verdict_key "${context}${source} ${digest}")
  get_filename_component(name ${source} NAME)
  set(stamp ${STAMPS}/${name}.passed)
  if(EXISTS ${stamp})
    file(READ ${stamp} passed_key)
    if(passed_key STREQUAL verdict_key)
      continue()
    endif()
  endif()
  file(REMOVE ${stamp})
  execute_process(COMMAND ${CLANG_TIDY} -p ${BUILD} --quiet ${source} RESULT_VARIABLE result)
  if(result EQUAL 0)
    file(WRITE ${stamp} ${verdict_key})
  else()
    list(APPEND failed ${name})
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "clang-tidy found faults in: ${failed}")
endif()
