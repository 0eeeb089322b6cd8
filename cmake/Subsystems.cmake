set(VELMORA_WARNINGS -Wall -Wextra)
set(VELMORA_SUBSYSTEM_TARGETS "")

# velmora_subsystem(name DEPS ...): a static library over src/<name>/*.cpp.
# A subsystem without sources yet is an interface library, so later work only
# adds files and never has to touch the build.
function(velmora_subsystem name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB _sources CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/src/${name}/*.cpp")
  set(_target velmora_${name})
  if(_sources)
    add_library(${_target} STATIC ${_sources})
    target_include_directories(${_target} PUBLIC "${PROJECT_SOURCE_DIR}/include"
                                          PRIVATE "${PROJECT_SOURCE_DIR}/src")
    target_compile_options(${_target} PRIVATE ${VELMORA_WARNINGS})
    target_link_libraries(${_target} PUBLIC velmora_torch ${ARG_DEPS})
  else()
    add_library(${_target} INTERFACE)
    target_include_directories(${_target} INTERFACE "${PROJECT_SOURCE_DIR}/include")
    target_link_libraries(${_target} INTERFACE velmora_torch ${ARG_DEPS})
  endif()
  list(APPEND VELMORA_SUBSYSTEM_TARGETS ${_target})
  set(VELMORA_SUBSYSTEM_TARGETS "${VELMORA_SUBSYSTEM_TARGETS}" PARENT_SCOPE)
endfunction()
