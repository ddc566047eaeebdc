# The product's version and the version resources of its modules.
#
# QOV_VERSION is the one version number of the product (four parts, each
# 0..65535): QovPlayer.ocx and QovPlayer.exe both carry it as their file and
# product version, so the about box shows the version that was built. Set it
# here, or with -DQOV_VERSION=a.b.c.d when configuring.
#
# qov_version_resource(<target> CONTROL|PROGRAM) gives a module the resource
# res/QovVersion.rc with that number. The control library gets it when this
# file is included; the desktop program calls the function for itself.
include_guard(GLOBAL)

if(NOT DEFINED QOV_VERSION)
  set(QOV_VERSION 3.0.0.0)
endif()
if(NOT QOV_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "QOV_VERSION must be four numbers joined by dots, not '${QOV_VERSION}'")
endif()
set(QOV_VERSION_PARTS)
foreach(i 1 2 3 4)
  math(EXPR part "${CMAKE_MATCH_${i}}") # without leading zeros
  if(part GREATER 65535)
    message(FATAL_ERROR "QOV_VERSION: each part must be at most 65535, not '${QOV_VERSION}'")
  endif()
  list(APPEND QOV_VERSION_PARTS ${part})
endforeach()
list(JOIN QOV_VERSION_PARTS "." QOV_VERSION_TEXT)
set_property(GLOBAL PROPERTY QOV_VERSION_PARTS ${QOV_VERSION_PARTS})
set_property(GLOBAL PROPERTY QOV_VERSION_TEXT ${QOV_VERSION_TEXT})

function(qov_version_resource target kind)
  if(kind STREQUAL "CONTROL")
    set(module 1)
  elseif(kind STREQUAL "PROGRAM")
    set(module 2)
  else()
    message(FATAL_ERROR "qov_version_resource: kind is CONTROL or PROGRAM, not '${kind}'")
  endif()
  enable_language(RC)
  get_property(parts GLOBAL PROPERTY QOV_VERSION_PARTS)
  get_property(text GLOBAL PROPERTY QOV_VERSION_TEXT)
  list(GET parts 0 major)
  list(GET parts 1 minor)
  list(GET parts 2 release)
  list(GET parts 3 build)
  target_sources(${target} PRIVATE ${QOV_ROOT}/control/res/QovVersion.rc)
  target_compile_definitions(${target} PRIVATE
    "$<$<COMPILE_LANGUAGE:RC>:QOV_VERSION_MAJOR=${major};QOV_VERSION_MINOR=${minor};QOV_VERSION_RELEASE=${release};QOV_VERSION_BUILD=${build};QOV_VERSION_TEXT=${text};QOV_VERSION_MODULE=${module}>")
endfunction()

if(TARGET QovPlayer)
  qov_version_resource(QovPlayer CONTROL)
endif()
