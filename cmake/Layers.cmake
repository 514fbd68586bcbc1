# Layers and their include roots.
#
# There is no project-wide include path. Each layer (a source folder such as core, ui or
# synth/planner) has an include root of its own in the build tree that holds nothing but a
# symbolic link to the layer's folder, under the folder's own path:
#
#   <build>/layers/synth_planner/synth/planner -> <source>/synth/planner
#
# so includes keep their form (#include "synth/planner/divider_plan.h"). A library carries the
# root of its layer as a usage requirement; a target therefore sees the headers of its own layer
# and of the layers it links, and an include of any other layer fails to compile. The layer order
# is written down in the README (Architecture) and checked by tests/layers.
#
# A folder that holds other layers' folders (platform holds linux/, qt/, sim/, testing/; app holds
# tamrikctl/) is linked file by file instead, so that its root does not reach into them.

# The include root of the layer in <folder> (a path from the project root); made once per configure.
function(tamrik_layer_root folder out)
  cmake_parse_arguments(L "FILES_ONLY" "" "" ${ARGN})
  string(REPLACE "/" "_" name "${folder}")
  set(root ${PROJECT_BINARY_DIR}/layers/${name})
  get_property(made GLOBAL PROPERTY TAMRIK_LAYER_ROOT_${name})
  if(NOT made)
    set_property(GLOBAL PROPERTY TAMRIK_LAYER_ROOT_${name} TRUE)
    set(source ${PROJECT_SOURCE_DIR}/${folder})
    if(NOT IS_DIRECTORY ${source})
      message(FATAL_ERROR "tamrik_layer: no folder ${folder}")
    endif()
    # Only links live under the root; removing it never follows them into the sources.
    file(REMOVE_RECURSE ${root})
    set(link ${root}/${folder})
    if(L_FILES_ONLY)
      file(MAKE_DIRECTORY ${link})
      # Re-checked at every build, so that a header added later gets its link.
      file(GLOB headers LIST_DIRECTORIES false CONFIGURE_DEPENDS ${source}/*.h)
      foreach(header IN LISTS headers)
        get_filename_component(file ${header} NAME)
        file(CREATE_LINK ${header} ${link}/${file} SYMBOLIC)
      endforeach()
    else()
      get_filename_component(parent ${link} DIRECTORY)
      file(MAKE_DIRECTORY ${parent})
      file(CREATE_LINK ${source} ${link} SYMBOLIC)
    endif()
  endif()
  set(${out} ${root} PARENT_SCOPE)
endfunction()

# tamrik_layer(<target> <folder> [FILES_ONLY]): <target> belongs to the layer in <folder>; it and
# every target that links it see that layer's headers.
function(tamrik_layer target folder)
  tamrik_layer_root(${folder} root ${ARGN})
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  elseif(type MATCHES "LIBRARY$")
    target_include_directories(${target} PUBLIC ${root})
  else()
    target_include_directories(${target} PRIVATE ${root})
  endif()
endfunction()
