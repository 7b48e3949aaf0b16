# Installs into PREFIX and checks that users find what they expect there.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX} COMMAND_ERROR_IS_FATAL ANY
                OUTPUT_QUIET)
include(GNUInstallDirs)
foreach(file ${CMAKE_INSTALL_BINDIR}/ferry ${CMAKE_INSTALL_BINDIR}/wharf
             ${CMAKE_INSTALL_MANDIR}/man1/ferry.1 ${CMAKE_INSTALL_MANDIR}/man1/wharf.1)
  if(NOT EXISTS ${PREFIX}/${file})
    message(FATAL_ERROR "install left out ${file}")
  endif()
endforeach()
