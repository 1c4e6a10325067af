# eegmex_add_module(NAME SOURCES ... [LIBS ...])
# Builds the module NAME in each flavour this machine can build:
#  NAME_octave_native : NAME.oct, a native GNU Octave function, in the top of the build tree: the
#                  default flavour in Octave (host/octave/native_host.cpp is its host)
#  NAME_octave   : NAME.mex for GNU Octave's MEX layer, in mex/ of the build tree (Octave prefers
#                  NAME.oct to NAME.mex in one folder, so each flavour has its own)
#  NAME_embedded : NAME.mexhost.so for the embedded host (tests, fuzzing, benchmarks)
#  NAME_windows  : NAME.mexw32 / NAME.mexw64 in a mingw-w64 cross build (cmake/mingw-*.cmake): the
#                  MATLAB binary interface of host/mexapi.h, linked against the libmx/libmex import
#                  libraries of host/windows, exporting only mexFunction, runtime linked statically
# The native Octave host, compiled once for every native module of the build (each module adds only
# its entry point, host/octave/native_entry.cpp, compiled with its name).
function(eegmex_native_host)
  if(TARGET eegmex_native_host)
    return()
  endif()
  add_library(eegmex_native_host STATIC ${PROJECT_SOURCE_DIR}/host/octave/native_host.cpp)
  target_compile_definitions(eegmex_native_host PRIVATE EEGMEX_HOST_OCTAVE_NATIVE)
  target_include_directories(eegmex_native_host PRIVATE
    ${OCTAVE_INCLUDE_DIR} ${OCTAVE_INCLUDE_DIR}/.. ${PROJECT_SOURCE_DIR}/host)
  set_target_properties(eegmex_native_host PROPERTIES POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
endfunction()

function(eegmex_add_module name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  if(EEGMEX_OCTAVE)
    eegmex_native_host()
    add_library(${name}_octave_native MODULE ${ARG_SOURCES} ${PROJECT_SOURCE_DIR}/host/octave/native_entry.cpp)
    target_compile_definitions(${name}_octave_native PRIVATE EEGMEX_HOST_OCTAVE_NATIVE EEGMEX_MODULE_NAME=${name})
    target_include_directories(${name}_octave_native PRIVATE
      ${OCTAVE_INCLUDE_DIR} ${OCTAVE_INCLUDE_DIR}/.. ${PROJECT_SOURCE_DIR}/host)
    target_link_directories(${name}_octave_native PRIVATE ${OCTAVE_LIB_DIR})
    target_link_libraries(${name}_octave_native PRIVATE ${ARG_LIBS} eegmex_native_host octinterp octave ${CMAKE_DL_LIBS})
    set_target_properties(${name}_octave_native PROPERTIES
      OUTPUT_NAME ${name} PREFIX "" SUFFIX ".oct"
      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
      CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

    add_library(${name}_octave MODULE ${ARG_SOURCES})
    target_compile_definitions(${name}_octave PRIVATE EEGMEX_HOST_OCTAVE)
    target_include_directories(${name}_octave PRIVATE ${OCTAVE_INCLUDE_DIR} ${PROJECT_SOURCE_DIR}/host)
    target_link_directories(${name}_octave PRIVATE ${OCTAVE_LIB_DIR})
    target_link_libraries(${name}_octave PRIVATE ${ARG_LIBS} octinterp octave)
    set_target_properties(${name}_octave PROPERTIES
      OUTPUT_NAME ${name} PREFIX "" SUFFIX ".mex"
      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/mex
      CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  endif()
  if(WIN32)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      set(suffix .mexw32)
    else()
      set(suffix .mexw64)
    endif()
    add_library(${name}_windows MODULE ${ARG_SOURCES} ${PROJECT_SOURCE_DIR}/host/windows/module.def)
    target_include_directories(${name}_windows PRIVATE ${PROJECT_SOURCE_DIR}/host)
    target_link_libraries(${name}_windows PRIVATE ${ARG_LIBS} ${EEGMEX_IMPORT_LIBS})
    # No timestamp in the PE header: the same sources give the same bytes (and SHA-256).
    target_link_options(${name}_windows PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp)
    add_dependencies(${name}_windows eegmex_import_libs)
    set_target_properties(${name}_windows PROPERTIES
      OUTPUT_NAME ${name} PREFIX "" SUFFIX ${suffix}
      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
      LINK_DEPENDS "${EEGMEX_IMPORT_LIBS}")
  else()
    add_library(${name}_embedded MODULE ${ARG_SOURCES})
    target_include_directories(${name}_embedded PRIVATE ${PROJECT_SOURCE_DIR}/host)
    target_link_libraries(${name}_embedded PRIVATE ${ARG_LIBS} mexhost)
    set_target_properties(${name}_embedded PROPERTIES
      OUTPUT_NAME ${name} PREFIX "" SUFFIX ".mexhost.so"
      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
      CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  endif()
endfunction()
