# vp_subsystem(NAME DEPS lib...): one library from the folder's *.cpp, plus posix/*.cpp or
# win32/*.cpp for the system being built for. It is static unless BUILD_SHARED_LIBS is on, then a
# shared library (libvell_NAME.so.MAJOR on Linux, a DLL with its import library on Windows).
# It is installed as libvell_NAME with the folder's headers under include/vell/NAME/ (included
# as <vell/NAME/...>) and exported as vell::NAME, bringing what it builds on.
function(vp_subsystem name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(WIN32)
    file(GLOB os_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/win32/*.cpp)
  else()
    file(GLOB os_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/posix/*.cpp)
  endif()
  add_library(${name} ${sources} ${os_sources})
  add_library(vell::${name} ALIAS ${name})
  # Position-independent also when static, so that the Python module (a shared object) can be
  # built from the same libraries.
  set_target_properties(${name} PROPERTIES OUTPUT_NAME vell_${name} EXPORT_NAME ${name}
    POSITION_INDEPENDENT_CODE ON)
  if(BUILD_SHARED_LIBS)
    # libvell_NAME.so.1.0.0 with the SONAME libvell_NAME.so.1: a new major version is the only
    # one that may break a program linked against the library. On Windows every symbol is
    # exported (the headers carry no export markers); data (u_log_sink, u_err_names) reaches
    # programs through MinGW's automatic import of data.
    set_target_properties(${name} PROPERTIES VERSION ${PROJECT_VERSION}
      SOVERSION ${PROJECT_VERSION_MAJOR} WINDOWS_EXPORT_ALL_SYMBOLS ON)
    # Installed, a library finds the subsystems it builds on beside itself. Only a library that
    # has them gets an RPATH: CMake makes room for the installed RPATH by padding a shorter
    # build RPATH with ':', and empty entries are the current directory to the loader (a
    # library without one, libvell_platform.so, would load libraries planted in the working
    # folder).
    foreach(dep IN LISTS ARG_DEPS)
      if(TARGET ${dep})
        get_target_property(dep_type ${dep} TYPE)
        if(dep_type STREQUAL "SHARED_LIBRARY")
          set_target_properties(${name} PROPERTIES INSTALL_RPATH "$ORIGIN")
        endif()
      endif()
    endforeach()
  endif()
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/generated>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})

  install(TARGETS ${name} EXPORT VellPlatformTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  install(FILES ${headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vell/${name})
  set_property(GLOBAL APPEND PROPERTY VP_INSTALLED_SUBSYSTEMS ${name})
endfunction()

# vp_tool(TARGET): a command-line tool of the platform, installed in bin/. Its build RPATH (two
# or more library folders) is longer than the installed one, so it needs no padding.
function(vp_tool target)
  if(BUILD_SHARED_LIBS AND NOT WIN32)
    # The shared libraries from the same prefix, wherever the tree is unpacked (tar archive,
    # Debian package, any --prefix); Windows finds the DLLs beside the .exe in bin/.
    file(RELATIVE_PATH bin_to_lib /root/${CMAKE_INSTALL_BINDIR} /root/${CMAKE_INSTALL_LIBDIR})
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
  endif()
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
