# The `tavo` command (the tavo package's command line) as an executable:
#
#   <build>/bin/tavo           runs the package and module of <build>/python
#   <prefix>/bin/tavo          installed: runs those installed beside it
#
# Each is a Python script whose first line names the interpreter the module
# was built for (a module for CPython 3.12 runs nowhere else). Included
# after TavoInstall, which sets the install directories.
option(TAVO_INSTALL_COMMAND "Install the tavo command into <prefix>/bin" ON)
set(TAVO_INSTALL_BINDIR "bin" CACHE STRING "Where the tavo command is installed, relative to the prefix")

function(tavo_write_command output python_dir)
  set(TAVO_COMMAND_PYTHON "${Python_EXECUTABLE}")
  set(TAVO_COMMAND_PYTHONDIR "${python_dir}")
  configure_file("${CMAKE_CURRENT_FUNCTION_LIST_DIR}/tavo-command.in" "${output}" @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endfunction()

# The site directory as seen from the command's directory: relative when
# both are inside the prefix, so that the installed tree may be moved.
function(tavo_relative_dir out from to)
  if(IS_ABSOLUTE "${to}" OR IS_ABSOLUTE "${from}")
    cmake_path(ABSOLUTE_PATH to BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}" NORMALIZE)
    set(${out} "${to}" PARENT_SCOPE)
  else()
    file(RELATIVE_PATH relative "/prefix/${from}" "/prefix/${to}")
    set(${out} "${relative}" PARENT_SCOPE)
  endif()
endfunction()

tavo_write_command("${CMAKE_BINARY_DIR}/bin/tavo" "../python")
if(TAVO_INSTALL_COMMAND)
  tavo_relative_dir(_tavo_site "${TAVO_INSTALL_BINDIR}" "${TAVO_INSTALL_PYTHONDIR}")
  tavo_write_command("${CMAKE_CURRENT_BINARY_DIR}/install/tavo" "${_tavo_site}")
  install(PROGRAMS "${CMAKE_CURRENT_BINARY_DIR}/install/tavo" DESTINATION "${TAVO_INSTALL_BINDIR}")
endif()
