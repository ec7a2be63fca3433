# Install-time script: writes the installed package's `_paths.py`. Run by
# `cmake --install`, after TAVO_PACKAGE_PYTHON_DIR, TAVO_PACKAGE_INSTALL_PLUGIN_DIR,
# TAVO_PACKAGE_VERSION and TAVO_PACKAGE_TEMPLATE were set by the install code
# before it.
#
# With both directories relative to the prefix, the recorded plugin directory
# is relative to the package, so the installed tree may be moved as a whole;
# otherwise it is the absolute directory.
set(_python_dir "${TAVO_PACKAGE_PYTHON_DIR}")
set(_plugin_dir "${TAVO_PACKAGE_INSTALL_PLUGIN_DIR}")
cmake_path(ABSOLUTE_PATH _python_dir BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}" NORMALIZE)
cmake_path(ABSOLUTE_PATH _plugin_dir BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}" NORMALIZE)
set(_package_dir "${_python_dir}/tavo")
if(IS_ABSOLUTE "${TAVO_PACKAGE_PYTHON_DIR}" OR IS_ABSOLUTE "${TAVO_PACKAGE_INSTALL_PLUGIN_DIR}")
  set(TAVO_PACKAGE_PLUGIN_DIR "${_plugin_dir}")
else()
  cmake_path(RELATIVE_PATH _plugin_dir BASE_DIRECTORY "${_package_dir}" OUTPUT_VARIABLE TAVO_PACKAGE_PLUGIN_DIR)
endif()
set(_target "$ENV{DESTDIR}${_package_dir}/_paths.py")
message(STATUS "Installing: ${_target}")
configure_file("${TAVO_PACKAGE_TEMPLATE}" "${_target}" @ONLY)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_target}")
