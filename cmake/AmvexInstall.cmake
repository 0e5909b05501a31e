# Installing Amvex on Linux: the headers (amvex.h, amvex_clock.h), the
# versioned shared library, a CMake package (find_package(Amvex) gives
# Amvex::amvex), a pkg-config file, amxctl, its copyright and changelog, and a
# Debian package of all of it (cpack -G DEB). On Windows: the developer's zip
# (cpack -G ZIP). Included at the end of amvex/CMakeLists.txt. The version comes
# from amvex.h, its one source.
if(NOT TARGET amvex)
  return()
endif()
set(_amvex_include ${PROJECT_SOURCE_DIR}/amvex/include)
file(STRINGS ${_amvex_include}/amvex.h _amvex_version REGEX "^#define AMX_VERSION_STRING ")
string(REGEX REPLACE ".*\"(.*)\".*" "\\1" AMVEX_VERSION "${_amvex_version}")
string(REGEX REPLACE "\\..*" "" AMVEX_SOVERSION "${AMVEX_VERSION}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_amvex_include}/amvex.h)

# The zip amvex-VERSION-win32 (win64 from the 64-bit build), one folder: the DLL
# with the programs beside it (amxctl, amxview where built, the example), the
# headers, both import libraries with Amvex.def, the example's source and
# README-windows.txt (which says whether amxctl and amxview can record and
# whether amxctl can serve). A tree
# that builds vyre3d packs vyre3d's zip instead.
if(WIN32)
  if(VY_WINDEPS)
    return()
  endif()
  install(FILES $<TARGET_FILE:amvex> DESTINATION . COMPONENT amvex)
  install(FILES ${_amvex_include}/amvex.h ${_amvex_include}/amvex_clock.h DESTINATION include COMPONENT amvex)
  install(FILES $<TARGET_LINKER_FILE:amvex> DESTINATION lib RENAME libamvex.dll.a COMPONENT amvex)
  install(FILES ${PROJECT_SOURCE_DIR}/amvex/Amvex.def DESTINATION lib COMPONENT amvex)
  if(AMVEX_LLVM_DLLTOOL)
    install(FILES ${AMVEX_MSVC_LIB} DESTINATION lib COMPONENT amvex)
  endif()
  install(TARGETS amx_stream RUNTIME DESTINATION . COMPONENT amvex)
  install(FILES ${PROJECT_SOURCE_DIR}/examples/amvex/amx_stream.c DESTINATION example COMPONENT amvex)
  # The tools are defined in amxtools/, read after this folder.
  function(amvex_install_windows)
    foreach(tool amxctl amxview)
      if(TARGET ${tool})
        install(TARGETS ${tool} RUNTIME DESTINATION . COMPONENT amvex)
      endif()
    endforeach()
    get_target_property(defs amxhost INTERFACE_COMPILE_DEFINITIONS)
    # The licences of the third-party libraries built into the programs.
    set(licences)
    if(defs MATCHES AMXHOST_HAVE_EDF)
      list(APPEND licences edflib)
    endif()
    if(TARGET amxnet)
      list(APPEND licences zeromq3)
    endif()
    if(TARGET amxview)
      list(APPEND licences glfw3 imgui kissfft)
    endif()
    foreach(package ${licences})
      if(EXISTS ${AMX_WINDEPS}/share/licenses/${package}/copyright)
        install(FILES ${AMX_WINDEPS}/share/licenses/${package}/copyright DESTINATION licenses RENAME ${package}.txt
                COMPONENT amvex)
      endif()
    endforeach()
    if(defs MATCHES AMXHOST_HAVE_EDF)
      set(AMVEX_RECORDING "amxctl record and amxview's record button write BDF+ files through edflib.")
    else()
      string(CONCAT AMVEX_RECORDING "THIS BUILD CANNOT RECORD: edflib was not available when it was made, so\n"
             "amxctl record and amxview's record button refuse (amxctl --help says so).")
    endif()
    if(TARGET amxnet)
      set(AMVEX_SERVING "")
    else()
      string(CONCAT AMVEX_SERVING "THIS BUILD CANNOT SERVE: libzmq was not available when it was made, so\n"
             "amxctl.exe has no serve command; the rest of this section does not apply.\n\n")
    endif()
    if(NOT TARGET amxview)
      string(APPEND AMVEX_RECORDING "\namxview.exe is not in this build (GLFW, Dear ImGui or kissfft was missing).")
    endif()
    configure_file(${PROJECT_SOURCE_DIR}/amvex/README-windows.txt.in ${CMAKE_BINARY_DIR}/README-windows.txt @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/README-windows.txt DESTINATION . COMPONENT amvex)
  endfunction()
  cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL amvex_install_windows)
  set(CPACK_PACKAGE_NAME amvex)
  set(CPACK_PACKAGE_VERSION ${AMVEX_VERSION})
  math(EXPR _amvex_bits "8 * ${CMAKE_SIZEOF_VOID_P}")
  set(CPACK_SYSTEM_NAME win${_amvex_bits})
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};amvex;/")
  set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)
  include(CPack)
  return()
endif()

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(amvex PROPERTIES VERSION ${AMVEX_VERSION} SOVERSION ${AMVEX_SOVERSION})
# The build tree's include folder must not leak into the installed package.
set_property(TARGET amvex PROPERTY INTERFACE_INCLUDE_DIRECTORIES $<BUILD_INTERFACE:${_amvex_include}>
                                                                 $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS amvex EXPORT AmvexTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT amvex)
install(FILES ${_amvex_include}/amvex.h ${_amvex_include}/amvex_clock.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT amvex)
set(_amvex_cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/Amvex)
install(EXPORT AmvexTargets NAMESPACE Amvex:: DESTINATION ${_amvex_cmakedir} COMPONENT amvex)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/install/AmvexConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/AmvexConfig.cmake INSTALL_DESTINATION ${_amvex_cmakedir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/AmvexConfigVersion.cmake VERSION ${AMVEX_VERSION}
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/AmvexConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/AmvexConfigVersion.cmake
        DESTINATION ${_amvex_cmakedir} COMPONENT amvex)

# pkg-config: the prefix is found from the file's own place, so an install
# with `cmake --install --prefix DIR` works as well as one into /usr.
file(RELATIVE_PATH AMVEX_PC_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
configure_file(${PROJECT_SOURCE_DIR}/cmake/install/amvex.pc.in ${CMAKE_CURRENT_BINARY_DIR}/amvex.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/amvex.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT amvex)

# amxctl is defined in amxtools/, read after this folder: install it once the
# whole project is read. It finds the library beside it in any prefix.
function(amvex_install_tool)
  if(TARGET amxctl)
    set_target_properties(amxctl PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    install(TARGETS amxctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT amvex)
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL amvex_install_tool)

# The package's copyright and changelog (gzip -n: the same bytes every build).
set(_amvex_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/amvex)
configure_file(${PROJECT_SOURCE_DIR}/cmake/install/debian/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/changelog @ONLY)
execute_process(COMMAND gzip -9 -n -f ${CMAKE_CURRENT_BINARY_DIR}/changelog COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/install/debian/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
        DESTINATION ${_amvex_docdir} COMPONENT amvex)

# cpack -G DEB: one package; dpkg-shlibdeps declares what the library and the
# tool load at run time (the C library, the C++ runtime, edflib). Binaries are
# stripped; a shlibs file lets packages built against it depend on it, and
# ldconfig triggers refresh the loader's cache.
set(CPACK_PACKAGE_NAME amvex)
set(CPACK_PACKAGE_VERSION ${AMVEX_VERSION})
string(REPLACE "." ";" _amvex_version_parts ${AMVEX_VERSION})
list(GET _amvex_version_parts 0 CPACK_PACKAGE_VERSION_MAJOR)
list(GET _amvex_version_parts 1 CPACK_PACKAGE_VERSION_MINOR)
list(GET _amvex_version_parts 2 CPACK_PACKAGE_VERSION_PATCH)
set(CPACK_PACKAGE_VENDOR "Amvex developers")
set(CPACK_PACKAGE_CONTACT "Amvex developers <amvex@amvex.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "library, headers and tool for Amvex biosignal amplifiers")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Amvex drives USB biosignal amplifiers of 16 to 40 channels: it streams\n"
       "their samples with a sample number and status word per frame, relays\n"
       "the amplifier's UART data, reads and writes its EEPROM and calibration\n"
       "record, measures electrode impedance and writes to its display, and\n"
       "offers Butterworth, moving-average, mains-canceller and baseline filters.\n"
       "Without hardware, AMVEX_EMULATE selects emulated amplifiers with faults\n"
       "on cue. This package holds the shared library, the C headers (amvex.h,\n"
       "and amvex_clock.h for host timestamps), CMake and pkg-config files, and\n"
       "the amxctl command-line tool.")
set(CPACK_STRIP_FILES ON)
configure_file(${PROJECT_SOURCE_DIR}/cmake/install/debian/shlibs.in ${CMAKE_CURRENT_BINARY_DIR}/shlibs @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/shlibs ${PROJECT_SOURCE_DIR}/cmake/install/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENTS_ALL amvex)
set(CPACK_DEB_COMPONENT_INSTALL OFF)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};amvex;/")
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)
include(CPack)
