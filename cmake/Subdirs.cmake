# Adds every immediate subfolder of the current source folder that has a CMakeLists.txt,
# in name order, so that a new area of tests or code needs no edit in its parent. Folders named in
# TAMRIK_SKIP_SUBFOLDERS (paths from the project root) are left out of a development build.
set(TAMRIK_SKIP_SUBFOLDERS "" CACHE STRING "Subfolders to leave out, e.g. platform/sim;tests/sim")
function(tamrik_add_subfolders)
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child IN LISTS children)
    file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/${child})
    if(rel IN_LIST TAMRIK_SKIP_SUBFOLDERS)
      continue()
    endif()
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${child} AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
