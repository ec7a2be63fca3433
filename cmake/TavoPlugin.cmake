# tavo_add_plugin(NAME SOURCES src... [REGMAP file.regmap.toml])
# tavo_install_regmap(NAME DESTINATION dir)
#
# Builds a Device Manager plugin: a loadable module compiled as C++23 against
# the tavo headers, with hidden visibility (only create_manager is exported)
# and -Wl,--no-undefined, so a missing symbol fails the link rather than the
# load.
#
# REGMAP: the plugin's register map (TOML), copied beside the built module as
# <module file stem>.regmap.toml (libtavo_x.regmap.toml beside libtavo_x.so),
# where tavo.RegisterMap.for_plugin and `tavo reg` look for it. Install it
# beside the installed module with tavo_install_regmap below.
function(tavo_add_plugin name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "REGMAP" "SOURCES")
  add_library(${name} MODULE ${ARG_SOURCES} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE tavo::headers)
  target_compile_features(${name} PRIVATE cxx_std_23)
  set_target_properties(${name} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    CXX_EXTENSIONS OFF)
  target_link_options(${name} PRIVATE "LINKER:--no-undefined")
  if(ARG_REGMAP)
    cmake_path(ABSOLUTE_PATH ARG_REGMAP BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" NORMALIZE)
    _tavo_regmap_copy(copy ${name})
    # A target of its own, so that an edit of the map alone is copied too;
    # after the module, whose directory it writes into.
    add_custom_target(${name}_regmap ALL
      COMMAND "${CMAKE_COMMAND}" -E copy_if_different "${ARG_REGMAP}" "${copy}"
      DEPENDS "${ARG_REGMAP}"
      COMMENT "Copying the register map of ${name}"
      VERBATIM)
    add_dependencies(${name}_regmap ${name})
    set_target_properties(${name} PROPERTIES TAVO_REGMAP "${ARG_REGMAP}")
  endif()
endfunction()

# tavo_install_regmap(NAME DESTINATION dir)
#
# Installs the register map of plugin NAME (its REGMAP) into dir, which is
# where the plugin itself is installed, under the name the module looks for.
function(tavo_install_regmap name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "DESTINATION" "")
  get_target_property(regmap ${name} TAVO_REGMAP)
  if(NOT regmap)
    message(FATAL_ERROR "tavo_install_regmap: plugin ${name} was added without a REGMAP")
  endif()
  _tavo_regmap_copy(copy ${name})
  install(FILES "${copy}" DESTINATION "${ARG_DESTINATION}")
endfunction()

# The built copy of NAME's map, as a generator expression.
function(_tavo_regmap_copy out name)
  set(${out} "$<TARGET_FILE_DIR:${name}>/$<TARGET_FILE_PREFIX:${name}>$<TARGET_FILE_BASE_NAME:${name}>.regmap.toml"
      PARENT_SCOPE)
endfunction()
