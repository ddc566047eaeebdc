# The ZPDATA block of a module: the exception-reporting library's options and
# the module's line data, written at build time by the native tool zpdata
# (tools/zpdata) and carried by the module as the RCDATA resource "ZPDATA".
#
# qov_zpdata(<target> [OPTIONS <options text>]): call it after the module
# target is complete. Its sources move into an object library that is linked
# twice: first with a placeholder ZPDATA resource into a stage module that the
# tool reads, then, with the block the tool wrote, into the module itself.
# The resource section follows code and data, so no code address moves
# between the links; a post-link check runs the tool on the final module and
# fails the build when its line data differ from the block.

if(CMAKE_CROSSCOMPILING)
  # The tool runs on the build machine: the same tree built natively, only
  # the tool's target.
  include(ExternalProject)
  set(QOV_ZPDATA_HOST_DIR ${CMAKE_BINARY_DIR}/host-tools)
  set(QOV_ZPDATA_TOOL ${QOV_ZPDATA_HOST_DIR}/bin/zpdata)
  ExternalProject_Add(qov_zpdata_tool
    SOURCE_DIR ${QOV_ROOT}
    BINARY_DIR ${QOV_ZPDATA_HOST_DIR}
    CMAKE_ARGS -G Ninja -DCMAKE_BUILD_TYPE=Release -DQOV_TESTS=OFF
               -DCMAKE_C_COMPILER=cc -DCMAKE_CXX_COMPILER=c++
    BUILD_COMMAND ${CMAKE_COMMAND} --build ${QOV_ZPDATA_HOST_DIR} --target zpdata zpdata_crosscheck
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${QOV_ZPDATA_TOOL} ${QOV_ZPDATA_HOST_DIR}/bin/zpdata_crosscheck
    INSTALL_COMMAND "")
  set(QOV_ZPDATA_TOOL_TARGET qov_zpdata_tool)
  set(QOV_ZPDATA_CROSSCHECK ${QOV_ZPDATA_HOST_DIR}/bin/zpdata_crosscheck)
else()
  set(QOV_ZPDATA_TOOL $<TARGET_FILE:zpdata>)
  set(QOV_ZPDATA_CROSSCHECK $<TARGET_FILE:zpdata_crosscheck>)
  set(QOV_ZPDATA_TOOL_TARGET zpdata)
endif()

function(qov_zpdata target)
  cmake_parse_arguments(ARG "" "OPTIONS" "" ${ARGN})
  set(options -)
  if(ARG_OPTIONS)
    get_filename_component(options ${ARG_OPTIONS} ABSOLUTE)
  endif()
  get_target_property(type ${target} TYPE)
  get_target_property(sources ${target} SOURCES)
  set(work ${CMAKE_CURRENT_BINARY_DIR}/${target}.zpdata)
  file(MAKE_DIRECTORY ${work})

  # Compiled sources go into the object library; link inputs (.def) stay.
  set(compiled)
  set(linked)
  foreach(s ${sources})
    if(s MATCHES "\\.def$")
      list(APPEND linked ${s})
    else()
      list(APPEND compiled ${s})
    endif()
  endforeach()
  add_library(${target}_objects OBJECT ${compiled})
  foreach(p INCLUDE_DIRECTORIES COMPILE_DEFINITIONS COMPILE_OPTIONS COMPILE_FEATURES)
    get_target_property(v ${target} ${p})
    if(v)
      set_property(TARGET ${target}_objects PROPERTY ${p} "${v}")
    endif()
  endforeach()
  get_target_property(libs ${target} LINK_LIBRARIES)
  if(libs)
    target_link_libraries(${target}_objects PRIVATE ${libs})
  endif()
  # Sources generated for the module (type libraries and the like).
  get_target_property(deps ${target} MANUALLY_ADDED_DEPENDENCIES)
  if(deps)
    add_dependencies(${target}_objects ${deps})
  endif()
  # The library's dialogs and bitmaps travel with its code.
  list(APPEND linked ${QOV_ROOT}/exceptions/res/ZephraLog.rc)
  set_property(TARGET ${target} PROPERTY SOURCES ${linked} $<TARGET_OBJECTS:${target}_objects>)

  # First link: the same objects with a placeholder block.
  file(WRITE ${work}/placeholder.bin "ZPDATA placeholder")
  file(WRITE ${work}/placeholder.rc "ZPDATA RCDATA \"${work}/placeholder.bin\"\n")
  if(type STREQUAL "EXECUTABLE")
    add_executable(${target}_zpstage ${linked} $<TARGET_OBJECTS:${target}_objects> ${work}/placeholder.rc)
  else()
    add_library(${target}_zpstage SHARED ${linked} $<TARGET_OBJECTS:${target}_objects> ${work}/placeholder.rc)
  endif()
  foreach(p OUTPUT_NAME PREFIX SUFFIX LINK_OPTIONS LINK_FLAGS WIN32_EXECUTABLE)
    get_target_property(v ${target} ${p})
    if(NOT v STREQUAL "v-NOTFOUND")
      set_property(TARGET ${target}_zpstage PROPERTY ${p} "${v}")
    endif()
  endforeach()
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set_target_properties(${target}_zpstage PROPERTIES OUTPUT_NAME ${target})
  endif()
  set_target_properties(${target}_zpstage PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${work} LIBRARY_OUTPUT_DIRECTORY ${work} ARCHIVE_OUTPUT_DIRECTORY ${work})
  if(libs)
    target_link_libraries(${target}_zpstage PRIVATE ${libs})
  endif()

  # The block, written from the stage module.
  set(depends ${target}_zpstage ${QOV_ZPDATA_TOOL_TARGET})
  if(CMAKE_CROSSCOMPILING)
    list(APPEND depends ${QOV_ZPDATA_TOOL})
  endif()
  if(NOT options STREQUAL "-")
    list(APPEND depends ${options})
  endif()
  add_custom_command(OUTPUT ${work}/block.bin
    COMMAND ${QOV_ZPDATA_TOOL} write $<TARGET_FILE:${target}_zpstage> ${options} ${work}/block.bin
    DEPENDS ${depends}
    COMMENT "ZPDATA block of ${target}"
    VERBATIM)
  add_custom_target(${target}_zpdata_block DEPENDS ${work}/block.bin)
  file(WRITE ${work}/block.rc "ZPDATA RCDATA \"${work}/block.bin\"\n")
  target_sources(${target} PRIVATE ${work}/block.rc)
  set_source_files_properties(${work}/block.rc PROPERTIES OBJECT_DEPENDS ${work}/block.bin)
  add_dependencies(${target} ${target}_zpdata_block)

  # Second link, then the check.
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${QOV_ZPDATA_TOOL} check $<TARGET_FILE:${target}> ${options} ${work}/block.bin
    VERBATIM)
endfunction()
