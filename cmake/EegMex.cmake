# eegmex_add_module(NAME SOURCES ... [LIBS ...])
# Builds the module NAME in each flavour this machine can build:
#  NAME_octave   : NAME.mex for GNU Octave, in the top of the build tree
#  NAME_embedded : NAME.mexhost.so for the embedded host (tests, fuzzing, benchmarks)
function(eegmex_add_module name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  if(EEGMEX_OCTAVE)
    add_library(${name}_octave MODULE ${ARG_SOURCES})
    target_compile_definitions(${name}_octave PRIVATE EEGMEX_HOST_OCTAVE)
    target_include_directories(${name}_octave PRIVATE ${OCTAVE_INCLUDE_DIR} ${PROJECT_SOURCE_DIR}/host)
    target_link_directories(${name}_octave PRIVATE ${OCTAVE_LIB_DIR})
    target_link_libraries(${name}_octave PRIVATE ${ARG_LIBS} octinterp octave)
    set_target_properties(${name}_octave PROPERTIES
      OUTPUT_NAME ${name} PREFIX "" SUFFIX ".mex"
      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
      CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  endif()
  if(NOT WIN32)
    add_library(${name}_embedded MODULE ${ARG_SOURCES})
    target_include_directories(${name}_embedded PRIVATE ${PROJECT_SOURCE_DIR}/host)
    target_link_libraries(${name}_embedded PRIVATE ${ARG_LIBS} mexhost)
    set_target_properties(${name}_embedded PROPERTIES
      OUTPUT_NAME ${name} PREFIX "" SUFFIX ".mexhost.so"
      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
      CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  endif()
endfunction()
