# Script mode (cmake -P): stages the headers that `cmake --install` puts under
# include/varnel/, and enforces the line between public and private headers.
#   -DSOURCE_DIR=<core/>  -DOUTPUT_DIR=<staging include dir>  -DSTAMP=<file>
#   -DPUBLIC_HEADERS=<|-separated, relative to core/>  -DDETAIL_HEADERS=<same>
# Starting from the public headers it follows every #include "..." (resolved
# beside the including file, then from core/, as the compiler does). Each
# header reached must be public or listed as detail, else the build stops
# naming it. Public headers are staged as varnel/<path>, detail ones as
# varnel/detail/<path>, and every quoted include is rewritten to that
# installed name, so a consumer needs only include/ on its path and the
# in-tree sources keep their short includes.
cmake_minimum_required(VERSION 3.20)
string(REPLACE "|" ";" PUBLIC_HEADERS "${PUBLIC_HEADERS}")
string(REPLACE "|" ";" DETAIL_HEADERS "${DETAIL_HEADERS}")

function(installed_name rel out)
  if(rel IN_LIST PUBLIC_HEADERS)
    set(${out} "varnel/${rel}" PARENT_SCOPE)
  else()
    set(${out} "varnel/detail/${rel}" PARENT_SCOPE)
  endif()
endfunction()

file(REMOVE_RECURSE "${OUTPUT_DIR}/varnel")
set(queue ${PUBLIC_HEADERS})
set(seen "")
while(queue)
  list(POP_FRONT queue header)
  if(header IN_LIST seen)
    continue()
  endif()
  list(APPEND seen "${header}")
  if(NOT EXISTS "${SOURCE_DIR}/${header}")
    message(FATAL_ERROR "installed header core/${header} does not exist: update the header lists in cmake/varnel_install.cmake")
  endif()
  file(READ "${SOURCE_DIR}/${header}" text)
  get_filename_component(here "${header}" DIRECTORY)
  string(REGEX MATCHALL "#include \"[^\"]+\"" includes "${text}")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "#include \"([^\"]+)\"" "\\1" name "${line}")
    if(here AND EXISTS "${SOURCE_DIR}/${here}/${name}")
      set(rel "${here}/${name}")
    elseif(EXISTS "${SOURCE_DIR}/${name}")
      set(rel "${name}")
    else()
      message(FATAL_ERROR "core/${header}: cannot resolve #include \"${name}\" inside core/")
    endif()
    cmake_path(NORMAL_PATH rel)
    if(NOT rel IN_LIST PUBLIC_HEADERS AND NOT rel IN_LIST DETAIL_HEADERS)
      message(FATAL_ERROR "core/${header} is installed for C++ users and includes the private "
        "header core/${rel}. Keep the include out of the installed headers, or add core/${rel} "
        "to VARNEL_DETAIL_HEADERS in cmake/varnel_install.cmake (installed as include/varnel/detail/${rel}, "
        "not for direct use) and list it in the README's C++ section.")
    endif()
    installed_name("${rel}" target)
    string(REPLACE "${line}" "#include <${target}>" text "${text}")
    list(APPEND queue "${rel}")
  endforeach()
  installed_name("${header}" target)
  file(WRITE "${OUTPUT_DIR}/${target}" "${text}")
endwhile()

foreach(header IN LISTS DETAIL_HEADERS)
  if(NOT header IN_LIST seen)
    message(FATAL_ERROR "core/${header} is listed in VARNEL_DETAIL_HEADERS but no public header "
      "needs it any more: take it off the list (it stays private).")
  endif()
endforeach()
file(TOUCH "${STAMP}")
