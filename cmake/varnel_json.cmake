# varnel_find_json(<python>): provides the target nlohmann_json::nlohmann_json
# (the JSON library is header-only). First the package CMake finds (Debian's
# nlohmann-json3-dev, or any nlohmann_jsonConfig.cmake on the prefix path);
# when there is none, the headers of the PyPI package nlohmann-json, asked
# from <python> (a build requirement of pip builds, so they are always there).
# Sets VARNEL_JSON_SOURCE in the caller to a line naming the one used, or to
# "" when neither is found. Used by the build and by varnelConfig.cmake.
function(varnel_find_json python)
  if(TARGET nlohmann_json::nlohmann_json)
    set(VARNEL_JSON_SOURCE "the target nlohmann_json::nlohmann_json defined before" PARENT_SCOPE)
    return()
  endif()
  find_package(nlohmann_json 3.10 CONFIG QUIET)
  if(nlohmann_json_FOUND)
    set(VARNEL_JSON_SOURCE
      "CMake package nlohmann_json ${nlohmann_json_VERSION} (${nlohmann_json_DIR})" PARENT_SCOPE)
    return()
  endif()
  set(dir "")
  if(python)
    execute_process(
      COMMAND "${python}" -c "import nlohmann_json; print(nlohmann_json.get_include())"
      OUTPUT_VARIABLE dir OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
    if(failed)
      set(dir "")
    endif()
  endif()
  if(dir STREQUAL "" OR NOT EXISTS "${dir}/nlohmann/json.hpp")
    set(VARNEL_JSON_SOURCE "" PARENT_SCOPE)
    return()
  endif()
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${dir}")
  set(VARNEL_JSON_SOURCE "headers of the PyPI package nlohmann-json (${dir})" PARENT_SCOPE)
endfunction()

# The Python to ask: the one the build runs for (scikit-build-core passes it),
# else python3 from PATH.
function(varnel_json_python out)
  if(Python_EXECUTABLE)
    set(${out} "${Python_EXECUTABLE}" PARENT_SCOPE)
  elseif(Python3_EXECUTABLE)
    set(${out} "${Python3_EXECUTABLE}" PARENT_SCOPE)
  else()
    find_program(VARNEL_PYTHON_FOR_JSON NAMES python3 python)
    set(${out} "${VARNEL_PYTHON_FOR_JSON}" PARENT_SCOPE)
  endif()
endfunction()

set(VARNEL_JSON_MISSING "varnel needs the JSON library nlohmann/json 3.10 or later (header-only). \
Install the Debian package nlohmann-json3-dev (apt-get install nlohmann-json3-dev), or the PyPI \
package into the Python that runs the build (python3 -m pip install nlohmann-json); pip builds of \
varnel get the latter as a build requirement.")
