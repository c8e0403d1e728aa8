# Layers as build targets. Each layer is an object library that sees only
# its own folders and those of the layers below it: its include root under
# ${CMAKE_BINARY_DIR}/layers/<layer> holds links to exactly those folders
# and public headers, so an include that reaches up (support including an
# engine header, say) fails to compile. The layers, lowest first:
#
#   support -> wire -> discovery -> engine -> satellite, com -> directory
#
# (wire and discovery are independent of each other; the engine uses both.)
# Programs, tests and benchmarks sit above everything.

set(KIV_LAYER_ROOT ${CMAKE_BINARY_DIR}/layers)

# kiv_layer_links(LAYER PATHS...): links each source-relative PATH (a
# folder, or a public header under include/, which is included as kiv/...)
# into the layer's include root.
function(kiv_layer_links layer)
  foreach(path IN LISTS ARGN)
    string(REGEX REPLACE "^include/" "" included ${path})
    set(link ${KIV_LAYER_ROOT}/${layer}/${included})
    get_filename_component(parent ${link} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    if(NOT EXISTS ${link})
      file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${path} ${link} SYMBOLIC)
    endif()
  endforeach()
endfunction()

# kiv_layer(NAME [BELOW layers...] PATHS paths...): the object library
# kiv_<NAME>, compiled against its own include root and those of BELOW.
function(kiv_layer name)
  cmake_parse_arguments(KL "" "" "BELOW;PATHS" ${ARGN})
  kiv_layer_links(${name} ${KL_PATHS})
  add_library(kiv_${name} OBJECT)
  target_compile_definitions(kiv_${name} PRIVATE KIV_BUILDING_LIBRARY)
  target_link_libraries(kiv_${name} PRIVATE Threads::Threads Boost::headers)
  foreach(layer IN ITEMS ${name} ${KL_BELOW})
    target_include_directories(kiv_${name} PRIVATE ${KIV_LAYER_ROOT}/${layer})
  endforeach()
  set_property(GLOBAL APPEND PROPERTY KIV_LAYERS ${name})
endfunction()
