# cppcheck as a test: fails on any finding whose check is in the project's
# list (cppcheck_checks.txt), and shows, without failing, findings of
# checks a newer cppcheck has that the list does not name yet.
#   cmake -DCPPCHECK=... -DLIST=... -DARGS=a;b;c -P cppcheck_check.cmake
cmake_minimum_required(VERSION 3.25)
file(STRINGS ${LIST} checks REGEX "^[A-Za-z]")
execute_process(COMMAND ${CPPCHECK} "--template={file}:{line}: {severity}: {message} [{id}]" ${ARGS}
                RESULT_VARIABLE result ERROR_VARIABLE found OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cppcheck failed (${result}):\n${found}")
endif()
string(REPLACE "\n" ";" lines "${found}")
set(failed 0)
foreach(line IN LISTS lines)
  if(line MATCHES "\\[([A-Za-z0-9_]+)\\]$")
    if(CMAKE_MATCH_1 IN_LIST checks)
      message("${line}")
      math(EXPR failed "${failed} + 1")
    else()
      message("not judged (not in the list): ${line}")
    endif()
  endif()
endforeach()
if(failed GREATER 0)
  message(FATAL_ERROR "${failed} finding(s) of listed checks")
endif()
