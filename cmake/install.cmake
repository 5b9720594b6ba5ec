# Installation and packages: the tools in bin/, the static libraries and their headers, the CMake
# package (find_package(VellPlatform) then vell::sdf, ...), a pkg-config file, and CPack's
# archives (a tar archive and a Debian package on Linux, a zip of the .exe files from MinGW).
include(CMakePackageConfigHelpers)

set(VP_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VellPlatform)
install(FILES ${PROJECT_BINARY_DIR}/generated/vell/platform/version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vell/platform)
install(EXPORT VellPlatformTargets NAMESPACE vell:: DESTINATION ${VP_CMAKE_DIR})
configure_package_config_file(cmake/VellPlatformConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VellPlatformConfig.cmake INSTALL_DESTINATION ${VP_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VellPlatformConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VellPlatformConfig.cmake
              ${PROJECT_BINARY_DIR}/VellPlatformConfigVersion.cmake
        DESTINATION ${VP_CMAKE_DIR})

# pkg-config: every library, the highest subsystem first, then the system libraries.
get_property(vp_installed GLOBAL PROPERTY VP_INSTALLED_SUBSYSTEMS)
list(REVERSE vp_installed)
set(VP_PC_LIBS "")
foreach(lib IN LISTS vp_installed)
  string(APPEND VP_PC_LIBS " -lvell_${lib}")
endforeach()
if(CMAKE_DL_LIBS)
  string(APPEND VP_PC_LIBS " -l${CMAKE_DL_LIBS}")
endif()
if(NOT WIN32)
  string(APPEND VP_PC_LIBS " -pthread")
endif()
# The prefix is found from the file's own place, so the same file serves every install prefix.
file(RELATIVE_PATH VP_PC_UP /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
configure_file(cmake/vell-platform.pc.in ${PROJECT_BINARY_DIR}/vell-platform.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vell-platform.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(CPACK_PACKAGE_NAME vell-platform)
set(CPACK_PACKAGE_VENDOR "Vell")
set(CPACK_PACKAGE_CONTACT "Vell instrument platform team")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Vell instrument platform: sdf_to_dat, the instrument file checkers and the platform library")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME vell-platform-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR "TGZ;DEB")
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION science)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()
include(CPack)
