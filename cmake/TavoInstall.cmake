# Installation rules: `cmake --install <build> --prefix P` lays out
#
#   P/lib/python3.12/site-packages/   the extension module and its type stub,
#                                     the `tavo` package with its own
#                                     extension module, tavo._native,
#                                     where P's own python3.12 imports them
#   P/lib/tavo/plugins/               the simulator and remote plugins, and
#                                     the simulator's register map,
#                                     libtavo_sim.regmap.toml
#   P/bin/tavo-server                 the device server
#   P/include/tavo/                   the plugin-facing contract headers
#   P/lib/cmake/tavo/                 the CMake package for plugin authors:
#                                     find_package(tavo CONFIG) gives the
#                                     target tavo::headers and tavo_add_plugin
#
# Directories are relative to the prefix so that the installed tree can be
# moved as a whole; the package finds itself from its own location.
include(CMakePackageConfigHelpers)

set(TAVO_INSTALL_PYTHONDIR "lib/python${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}/site-packages"
    CACHE STRING "Where the extension module is installed, relative to the prefix")
set(TAVO_INSTALL_PLUGINDIR "lib/tavo/plugins" CACHE STRING "Where the simulator plugin is installed")
set(TAVO_INSTALL_INCLUDEDIR "include" CACHE STRING "Where the contract headers are installed")
set(TAVO_INSTALL_CMAKEDIR "lib/cmake/tavo" CACHE STRING "Where the CMake package is installed")

install(TARGETS tavo_headers EXPORT tavoTargets)
install(DIRECTORY "${PROJECT_SOURCE_DIR}/include/tavo" DESTINATION "${TAVO_INSTALL_INCLUDEDIR}"
        FILES_MATCHING PATTERN "*.hpp")

# Exported as tavo::sim, so that a plugin project's own tests can find the
# simulator through $<TARGET_FILE:tavo::sim>.
set_target_properties(tavo_sim PROPERTIES EXPORT_NAME sim)
install(TARGETS tavo_sim EXPORT tavoTargets LIBRARY DESTINATION "${TAVO_INSTALL_PLUGINDIR}")
tavo_install_regmap(tavo_sim DESTINATION "${TAVO_INSTALL_PLUGINDIR}")

if(TARGET pytavo_device)
  # Exported as tavo::module: its directory is what PYTHONPATH needs.
  set_target_properties(pytavo_device PROPERTIES EXPORT_NAME module)
  install(TARGETS pytavo_device EXPORT tavoTargets LIBRARY DESTINATION "${TAVO_INSTALL_PYTHONDIR}")
  install(FILES "${PROJECT_SOURCE_DIR}/src/pytavo/pytavo_device.pyi" DESTINATION "${TAVO_INSTALL_PYTHONDIR}")
  # The `tavo` package beside the module, told where the plugins are installed,
  # with its compiled half inside it.
  tavo_install_package("${TAVO_INSTALL_PYTHONDIR}" "${TAVO_INSTALL_PLUGINDIR}")
  install(TARGETS tavo_native LIBRARY DESTINATION "${TAVO_INSTALL_PYTHONDIR}/tavo")
endif()

# tavo-server beside the tavo command, the remote plugin beside the simulator.
# The installed server looks for plugins given by short name in the installed
# plugin directory, found from its own location.
set(TAVO_INSTALL_BINDIR "bin" CACHE STRING "Where the tavo command and tavo-server are installed, relative to the prefix")
install(TARGETS tavo-server RUNTIME DESTINATION "${TAVO_INSTALL_BINDIR}")
install(TARGETS tavo_remote LIBRARY DESTINATION "${TAVO_INSTALL_PLUGINDIR}")
if(IS_ABSOLUTE "${TAVO_INSTALL_PLUGINDIR}")
  set(_server_plugin_dir "${TAVO_INSTALL_PLUGINDIR}")
else()
  file(RELATIVE_PATH _server_plugin_dir "/prefix/${TAVO_INSTALL_BINDIR}" "/prefix/${TAVO_INSTALL_PLUGINDIR}")
endif()
target_compile_definitions(tavo_server_core PRIVATE TAVO_SERVER_INSTALLED_PLUGIN_DIR="${_server_plugin_dir}")

install(EXPORT tavoTargets NAMESPACE tavo:: DESTINATION "${TAVO_INSTALL_CMAKEDIR}")
configure_package_config_file("${CMAKE_CURRENT_LIST_DIR}/tavoConfig.cmake.in"
  "${CMAKE_CURRENT_BINARY_DIR}/tavoConfig.cmake"
  INSTALL_DESTINATION "${TAVO_INSTALL_CMAKEDIR}"
  PATH_VARS TAVO_INSTALL_INCLUDEDIR TAVO_INSTALL_PLUGINDIR)
# The contract is binary (vtable slots, event indices): a plugin built
# against 0.1 is only known to work with a module of 0.1.
write_basic_package_version_file("${CMAKE_CURRENT_BINARY_DIR}/tavoConfigVersion.cmake"
  VERSION "${PROJECT_VERSION}" COMPATIBILITY SameMinorVersion)
install(FILES
  "${CMAKE_CURRENT_BINARY_DIR}/tavoConfig.cmake"
  "${CMAKE_CURRENT_BINARY_DIR}/tavoConfigVersion.cmake"
  "${CMAKE_CURRENT_LIST_DIR}/TavoPlugin.cmake"
  DESTINATION "${TAVO_INSTALL_CMAKEDIR}")
