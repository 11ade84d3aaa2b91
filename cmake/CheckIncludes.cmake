# cmake -DMANIFEST=<target>.cmake -P CheckIncludes.cmake
# Checks the includes of one target's files against the headers it may include (written by
# torvex_check_layout); touches the stamp when every include passes, and fails naming each one
# that does not.
cmake_minimum_required(VERSION 3.25)
include("${MANIFEST}")

set(faults "")
set(count 0)

# The line number of the first line of `file` that is `text`.
function(line_of file text out)
  file(READ "${file}" content)
  string(FIND "${content}" "${text}" position)
  string(SUBSTRING "${content}" 0 ${position} before)
  string(REGEX MATCHALL "\n" breaks "${before}")
  list(LENGTH breaks lines)
  math(EXPR line "${lines} + 1")
  set(${out} ${line} PARENT_SCOPE)
endfunction()

string(JOIN ", " usable_text ${usable})
foreach(file IN LISTS files)
  get_filename_component(here "${file}" DIRECTORY)
  file(STRINGS "${file}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]")
  foreach(text IN LISTS includes)
    if(NOT text MATCHES "^[ \t]*#[ \t]*include[ \t]*([\"<])([^\">]*)[\">]")
      continue()
    endif()
    set(quote "${CMAKE_MATCH_1}")
    set(name "${CMAKE_MATCH_2}")
    set(why "")
    if(name MATCHES "(^|/)\\.\\.(/|$)")
      set(why "climbs out of its folder with \"..\"")
    elseif(quote STREQUAL "\"" AND IS_ABSOLUTE "${name}")
      set(why "names a file by its absolute path")
    else()
      # As the compiler finds it: beside the file (quoted only), in the target's folder, or as
      # "<Folder>/<Header>.h" through an include root.
      set(header "${name}")
      set(found "")
      if(quote STREQUAL "\"" AND EXISTS "${here}/${name}" AND NOT IS_DIRECTORY "${here}/${name}")
        set(found "${here}/${name}")
      elseif(EXISTS "${root}/${name}" AND NOT IS_DIRECTORY "${root}/${name}")
        set(found "${root}/${name}")
      endif()
      if(found)
        cmake_path(RELATIVE_PATH found BASE_DIRECTORY "${root}" OUTPUT_VARIABLE relative)
        set(header "${folder}/${relative}")
      endif()
      set(owner "${owner_${header}}")
      if(owner AND NOT owner IN_LIST usable)
        set(why "reaches ${header} of ${owner}, which ${target} does not link")
      endif()
    endif()
    if(why)
      line_of("${file}" "${text}" line)
      string(STRIP "${text}" shown)
      string(APPEND faults "${file}:${line}: error: `${shown}` ${why}.\n"
        "  Why: ${target} may include only the headers of what it links (${usable_text}), "
        "each as \"<Folder>/<Header>.h\" or, in its own folder, by its bare name.\n"
        "  Fix: include what a linked library publishes, or move the code to a layer that links "
        "the library whose header it needs.\n")
      math(EXPR count "${count} + 1")
    endif()
  endforeach()
endforeach()

if(faults)
  message(NOTICE "${faults}")
  message(FATAL_ERROR "The layout refuses ${count} include(s) of ${target}, said above.")
endif()
file(TOUCH "${stamp}")
