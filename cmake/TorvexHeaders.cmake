# torvex_headers(<target>): the headers of the target's folder are found as "<Folder>/<Header>.h"
# only by the targets that link it (the folder's include root in the build tree holds just one
# link, named after the folder); the folder's own files include each other by their bare names.
function(torvex_headers target)
  get_filename_component(name "${CMAKE_CURRENT_SOURCE_DIR}" NAME)
  set(root "${CMAKE_BINARY_DIR}/include/${name}")
  if(NOT IS_SYMLINK "${root}/${name}")
    file(MAKE_DIRECTORY "${root}")
    file(CREATE_LINK "${CMAKE_CURRENT_SOURCE_DIR}" "${root}/${name}" SYMBOLIC)
  endif()
  target_include_directories(${target} PUBLIC "${root}" PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}")
endfunction()
