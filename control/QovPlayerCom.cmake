# The COM side of QovPlayer.ocx: the type library, the control object's
# resources and libraries, the container side for hosts, and the registration
# that the control's tests run under.

# The type library, its header and identifiers: widl for the target's word
# size, reading the IDL with its Chinese help strings as GBK bytes (the type
# library keeps them in the system's ANSI code page).
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(QOV_WIDL_PREFIX x86_64-w64-mingw32)
  set(QOV_WIDL_WORD --win64)
  set(QOV_WINE_SYSTEM_DIRS /usr/lib/x86_64-linux-gnu/wine/x86_64-windows /usr/lib/wine/x86_64-windows)
else()
  set(QOV_WIDL_PREFIX i686-w64-mingw32)
  set(QOV_WIDL_WORD --win32)
  set(QOV_WINE_SYSTEM_DIRS /usr/lib/i386-linux-gnu/wine/i386-windows /usr/lib/wine/i386-windows)
endif()
find_program(QOV_WIDL NAMES ${QOV_WIDL_PREFIX}-widl widl REQUIRED)
find_program(QOV_ICONV NAMES iconv REQUIRED)
find_path(QOV_WINE_IDL_DIR oaidl.idl PATHS /usr/include/wine/wine/windows /usr/include/wine/windows
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
find_path(QOV_STDOLE_DIR stdole2.tlb PATHS ${QOV_WINE_SYSTEM_DIRS} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH
          REQUIRED)
set(QOV_TLB_DIR ${CMAKE_CURRENT_BINARY_DIR}/tlb)
set(QOV_TLB_IDL ${CMAKE_CURRENT_SOURCE_DIR}/QovPlayerTLB.idl)
add_custom_command(
  OUTPUT ${QOV_TLB_DIR}/QovPlayerTLB.tlb ${QOV_TLB_DIR}/QovPlayerTLB.h ${QOV_TLB_DIR}/QovPlayerTLB_i.c
  COMMAND ${CMAKE_COMMAND} -E make_directory ${QOV_TLB_DIR}
  COMMAND ${QOV_ICONV} -f UTF-8 -t GBK ${QOV_TLB_IDL} -o ${QOV_TLB_DIR}/QovPlayerTLB.idl
  COMMAND ${QOV_WIDL} ${QOV_WIDL_WORD} -I${QOV_WINE_IDL_DIR} -L${QOV_STDOLE_DIR} -t -h -u
          -o ${QOV_TLB_DIR}/QovPlayerTLB QovPlayerTLB.idl
  WORKING_DIRECTORY ${QOV_TLB_DIR}
  DEPENDS ${QOV_TLB_IDL}
  COMMENT "Type library QovPlayerTLB")
add_custom_target(qov_control_tlb_gen DEPENDS ${QOV_TLB_DIR}/QovPlayerTLB.tlb)
# The header and identifiers, for the control, its hosts and the tests.
add_library(qov_control_tlb STATIC ${QOV_TLB_DIR}/QovPlayerTLB_i.c)
target_include_directories(qov_control_tlb PUBLIC ${QOV_TLB_DIR})
target_link_libraries(qov_control_tlb PUBLIC ole32 oleaut32 uuid)
add_dependencies(qov_control_tlb qov_control_tlb_gen)

# The container side of an OLE embedding (sites, frame, event sink), for the
# desktop program and the tests.
add_subdirectory(${CMAKE_CURRENT_SOURCE_DIR}/host ${CMAKE_CURRENT_BINARY_DIR}/host)

# The control object: type library as resource TYPELIB 1, toolbox bitmap 1.
enable_language(RC)
set(QOV_CONTROL_RC ${CMAKE_CURRENT_SOURCE_DIR}/res/QovPlayer.rc)
target_sources(QovPlayer PRIVATE ${QOV_CONTROL_RC})
set_source_files_properties(${QOV_CONTROL_RC} PROPERTIES
  OBJECT_DEPENDS "${QOV_TLB_DIR}/QovPlayerTLB.tlb;${CMAKE_CURRENT_SOURCE_DIR}/res/Toolbox.bmp")
target_include_directories(QovPlayer PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/res ${QOV_TLB_DIR}
                           ${CMAKE_CURRENT_SOURCE_DIR}/core)
target_link_libraries(QovPlayer PRIVATE qov_engine qov_control_tlb ole32 oleaut32 uuid gdi32 user32 advapi32)
if(TARGET qov_control_core)
  target_link_libraries(QovPlayer PRIVATE qov_control_core)
endif()

# Test programs drive the control through the type library's header and the
# container side.
function(qov_control_tests_link)
  if(TARGET qov_test_support)
    target_link_libraries(qov_test_support PUBLIC qov_ole_host qov_control_tlb)
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL qov_control_tests_link)

# Called where the control's tests are made: every control test runs with the
# built QovPlayer.ocx registered in the test prefix by Wine's regsvr32.
function(qov_control_test_setup)
  add_test(NAME control_register
           COMMAND ${QOV_ROOT}/cmake/wine-run.sh regsvr32 /s QovPlayer.ocx
           WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  # regsvr32 and cscript are of the library's architecture (wine64 for x86_64).
  set_tests_properties(control_register PROPERTIES FIXTURES_SETUP qov_control_registered TIMEOUT 120
                       ENVIRONMENT QOV_ARCH=${CMAKE_SYSTEM_PROCESSOR})
  # A script makes the control by ProgID under Wine's cscript.
  string(REPLACE "/" "\\" script "Z:${QOV_ROOT}/tests/control/script_defaults.js")
  add_test(NAME control_script_defaults COMMAND ${QOV_ROOT}/cmake/wine-run.sh cscript //nologo ${script}
           WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  set_tests_properties(control_script_defaults PROPERTIES FIXTURES_REQUIRED qov_control_registered TIMEOUT 120
                       PASS_REGULAR_EXPRESSION "script defaults passed" FAIL_REGULAR_EXPRESSION "FAIL"
                       ENVIRONMENT QOV_ARCH=${CMAKE_SYSTEM_PROCESSOR})
  # A script's Open of a channel file the web server does not have.
  string(REPLACE "/" "\\" script "Z:${QOV_ROOT}/tests/control/script_channel_download.js")
  add_test(NAME control_script_channel_download COMMAND ${QOV_ROOT}/cmake/wine-run.sh cscript //nologo ${script}
           WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  set_tests_properties(control_script_channel_download PROPERTIES FIXTURES_REQUIRED qov_control_registered
                       TIMEOUT 120 PASS_REGULAR_EXPRESSION "channel script (passed|skipped)"
                       FAIL_REGULAR_EXPRESSION "FAIL" ENVIRONMENT QOV_ARCH=${CMAKE_SYSTEM_PROCESSOR})
  # The popup menu's captions with Chinese (PRC) as the system's language.
  if(TARGET control_wtest_automation)
    add_test(NAME control_menu_chinese
             COMMAND env LC_ALL=zh_CN.UTF-8 ${QOV_ROOT}/cmake/wine-run.sh $<TARGET_FILE:control_wtest_automation>
                     --gtest_filter=Automation.MenuCaptionsFollowTheSystemLanguage
             WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
    set_tests_properties(control_menu_chinese PROPERTIES FIXTURES_REQUIRED qov_control_registered TIMEOUT 120
                         PASS_REGULAR_EXPRESSION "menu language 0x0804" FAIL_REGULAR_EXPRESSION "FAILED")
  endif()
  # The statistics window's and the about box's captions likewise.
  if(TARGET control_wtest_info_windows)
    add_test(NAME control_windows_chinese
             COMMAND env LC_ALL=zh_CN.UTF-8 ${QOV_ROOT}/cmake/wine-run.sh $<TARGET_FILE:control_wtest_info_windows>
             WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
    set_tests_properties(control_windows_chinese PROPERTIES FIXTURES_REQUIRED qov_control_registered TIMEOUT 120
                         PASS_REGULAR_EXPRESSION "window language 0x0804" FAIL_REGULAR_EXPRESSION "FAILED")
  endif()
  # Register from a folder with a blank and unregister, in a scratch prefix.
  if(TARGET control_wtest_registration)
    add_test(NAME control_register_roundtrip
             COMMAND bash ${QOV_ROOT}/tests/control/register_roundtrip.sh ${CMAKE_BINARY_DIR}/bin
                     $<TARGET_FILE:control_wtest_registration>
             WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
    set_tests_properties(control_register_roundtrip PROPERTIES TIMEOUT 120 PASS_REGULAR_EXPRESSION
                         "register round trip passed")
  endif()
  file(GLOB tests CONFIGURE_DEPENDS ${QOV_ROOT}/tests/control/wtest_*.cpp)
  foreach(f ${tests})
    get_filename_component(name ${f} NAME_WE)
    if(TEST control_${name})
      set_tests_properties(control_${name} PROPERTIES FIXTURES_REQUIRED qov_control_registered)
    endif()
  endforeach()
  # Tests that read pixels back from the screen or look for the full-screen
  # window and the about box run alone: another test's windows on the same
  # display would cover theirs or take their focus.
  foreach(t control_wtest_picture_area control_wtest_picture_control control_wtest_info_windows
            control_windows_chinese)
    if(TEST ${t})
      set_tests_properties(${t} PROPERTIES RUN_SERIAL TRUE)
    endif()
  endforeach()
endfunction()

# bench_control: create/activate/deactivate/destroy cycles and the cost of a
# member call by vtable, by dispid and by name (Windows; run under Wine with
# QovPlayer.ocx registered).
add_executable(bench_control ${QOV_ROOT}/tools/bench/bench_control.cpp ${QOV_ROOT}/tools/bench/BenchSupport.cpp)
qov_gbk(bench_control)
target_link_libraries(bench_control PRIVATE qov_ole_host qov_writer)
add_dependencies(bench_control QovPlayer)
