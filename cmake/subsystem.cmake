# vp_subsystem(NAME DEPS lib...): one static library from the folder's *.cpp, plus posix/*.cpp or
# win32/*.cpp for the system being built for. It is installed as libvell_NAME with the folder's
# headers under include/vell/NAME/ (included as <vell/NAME/...>) and exported as vell::NAME, bringing what it builds on.
function(vp_subsystem name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(WIN32)
    file(GLOB os_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/win32/*.cpp)
  else()
    file(GLOB os_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/posix/*.cpp)
  endif()
  add_library(${name} STATIC ${sources} ${os_sources})
  add_library(vell::${name} ALIAS ${name})
  set_target_properties(${name} PROPERTIES OUTPUT_NAME vell_${name} EXPORT_NAME ${name})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/generated>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})

  install(TARGETS ${name} EXPORT VellPlatformTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  install(FILES ${headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vell/${name})
  set_property(GLOBAL APPEND PROPERTY VP_INSTALLED_SUBSYSTEMS ${name})
endfunction()

# vp_tool(TARGET): a command-line tool of the platform, installed in bin/.
function(vp_tool target)
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()

# vp_test_suite(NAME DEPS lib...): one GoogleTest executable NAME_tests from the folder's *.cpp,
# its tests discovered by CTest.
function(vp_test_suite name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_executable(${name}_tests ${sources})
  target_include_directories(${name}_tests PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name}_tests PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${name}_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 300)
endfunction()
