# tavo_add_plugin(NAME SOURCES src...)
#
# Builds a Device Manager plugin: a loadable module compiled as C++23 against
# the tavo headers, with hidden visibility (only create_manager is exported)
# and -Wl,--no-undefined, so a missing symbol fails the link rather than the
# load.
function(tavo_add_plugin name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "" "SOURCES")
  add_library(${name} MODULE ${ARG_SOURCES} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE tavo::headers)
  target_compile_features(${name} PRIVATE cxx_std_23)
  set_target_properties(${name} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    CXX_EXTENSIONS OFF)
  target_link_options(${name} PRIVATE "LINKER:--no-undefined")
endfunction()
