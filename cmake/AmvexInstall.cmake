# Installing Amvex on Linux: the headers (amvex.h, amvex_clock.h), the
# versioned shared library, a CMake package (find_package(Amvex) gives
# Amvex::amvex), a pkg-config file, amxctl and amxview with their manual pages,
# and four Debian packages of it (cpack -G DEB): libamvex1, libamvex-dev,
# amvex-tools and python3-amvex. On Windows: the developer's zip (cpack -G ZIP).
# Included at the end of amvex/CMakeLists.txt. The version comes from amvex.h,
# its one source.
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
      get_target_property(netdefs amxnet COMPILE_DEFINITIONS)
      if(netdefs MATCHES AMXNET_HAVE_BEACON)
        list(APPEND licences czmq)
      endif()
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
    if(netdefs MATCHES AMXNET_HAVE_BEACON)
      set(AMVEX_ANNOUNCING "")
    else()
      string(CONCAT AMVEX_ANNOUNCING "THIS BUILD DOES NOT ANNOUNCE STREAMS: CZMQ was not available when it was made,\n"
             "so streams are found by their address only (amxctl.exe streams says so).\n\n")
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

# Debian's multiarch folder (lib/x86_64-linux-gnu) in every prefix, not only
# /usr: /usr/local/lib/<triplet> is on the loader's, pkg-config's and CMake's
# search paths as well, and the packages need it.
# (A tree configured before kept GNUInstallDirs' plain "lib", recognised by its
# help text; a folder the user chose is kept.)
get_property(_amvex_libdir_help CACHE CMAKE_INSTALL_LIBDIR PROPERTY HELPSTRING)
if(CMAKE_LIBRARY_ARCHITECTURE AND (NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR}
                                   OR _amvex_libdir_help STREQUAL "Object code libraries (lib)"))
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries (lib/<multiarch triplet>)"
      FORCE)
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Hardening of what is installed, as Debian builds its own packages: stack
# protector, fortified C library calls (they need optimisation, so not in Debug
# builds), relocations read-only and bound at load. Sanitizer builds, which are
# never installed, are left as they are.
function(amvex_harden)
  if(ENABLE_SANITIZERS OR ENABLE_TSAN OR ENABLE_FUZZERS)
    return()
  endif()
  foreach(target ${ARGN})
    if(TARGET ${target})
      target_compile_options(${target} PRIVATE -fstack-protector-strong
                                               "$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
      target_link_options(${target} PRIVATE -Wl,-z,relro -Wl,-z,now)
    endif()
  endforeach()
endfunction()
amvex_harden(amvex_obj amvex amx_stream)

set_target_properties(amvex PROPERTIES VERSION ${AMVEX_VERSION} SOVERSION ${AMVEX_SOVERSION})
# The build tree's include folder must not leak into the installed package.
set_property(TARGET amvex PROPERTY INTERFACE_INCLUDE_DIRECTORIES $<BUILD_INTERFACE:${_amvex_include}>
                                                                 $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

# Four components, one per Debian package: runtime (libamvex.so.1), dev (the
# headers, the libamvex.so link, CMake and pkg-config files, the example), tools
# (amxctl, amxview, their manual pages) and python (only in the package: pip
# installs the binding elsewhere).
install(TARGETS amvex EXPORT AmvexTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
        NAMELINK_COMPONENT dev)
install(FILES ${_amvex_include}/amvex.h ${_amvex_include}/amvex_clock.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT dev)
set(_amvex_cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/Amvex)
install(EXPORT AmvexTargets NAMESPACE Amvex:: DESTINATION ${_amvex_cmakedir} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/install/AmvexConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/AmvexConfig.cmake INSTALL_DESTINATION ${_amvex_cmakedir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/AmvexConfigVersion.cmake VERSION ${AMVEX_VERSION}
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/AmvexConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/AmvexConfigVersion.cmake
        DESTINATION ${_amvex_cmakedir} COMPONENT dev)

# pkg-config: the prefix is found from the file's own place, so an install
# with `cmake --install --prefix DIR` works as well as one into /usr.
file(RELATIVE_PATH AMVEX_PC_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
configure_file(${PROJECT_SOURCE_DIR}/cmake/install/amvex.pc.in ${CMAKE_CURRENT_BINARY_DIR}/amvex.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/amvex.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# The example host program, its source and its CMakeLists.txt (which builds it
# against the installed library), where Debian keeps a package's examples.
install(FILES ${PROJECT_SOURCE_DIR}/examples/amvex/amx_stream.c ${PROJECT_SOURCE_DIR}/examples/amvex/CMakeLists.txt
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libamvex-dev/examples COMPONENT dev)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/amvex DESTINATION lib/python3/dist-packages COMPONENT python
        EXCLUDE_FROM_ALL FILES_MATCHING PATTERN "*.py" PATTERN __pycache__ EXCLUDE)

# The tools are defined in amxtools/, read after this folder: harden and
# install them once the whole project is read. They find the library beside
# them in any prefix. Their manual pages are made from their --help by
# help2man (not in sanitizer builds, which are not installed).
find_program(AMVEX_HELP2MAN help2man)
function(amvex_install_tools version epoch man_dir man_destination)
  amvex_harden(amxhost amxctl_core amxctl amxview_core amxview)
  set(summary_amxctl "control Amvex amplifiers from the command line")
  set(summary_amxview "live traces, spectrum and electrode impedances of an Amvex amplifier")
  foreach(tool amxctl amxview)
    if(NOT TARGET ${tool})
      continue()
    endif()
    set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
    if(AMVEX_HELP2MAN AND NOT (ENABLE_SANITIZERS OR ENABLE_TSAN))
      set(page ${man_dir}/${tool}.1)
      # SOURCE_DATE_EPOCH: the changelog's date, so each build makes the same page.
      add_custom_command(OUTPUT ${page}.gz
                         COMMAND ${CMAKE_COMMAND} -E make_directory ${man_dir}
                         COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${epoch} ${AMVEX_HELP2MAN} -N
                                 --version-string=${version} -n ${summary_${tool}} -o ${page} $<TARGET_FILE:${tool}>
                         COMMAND gzip -9 -n -f ${page}
                         DEPENDS ${tool} VERBATIM)
      add_custom_target(${tool}_man ALL DEPENDS ${page}.gz)
      install(FILES ${page}.gz DESTINATION ${man_destination}/man1 COMPONENT tools)
      add_dependencies(amvex_packages ${tool}_man)
    endif()
    add_dependencies(amvex_packages ${tool})
  endforeach()
endfunction()
set(AMVEX_RELEASE_EPOCH 1796644800)  # the changelog's date, Mon, 07 Dec 2026 12:00:00 +0000
# (EVAL: the deferred call gets this folder's values, not the top folder's.)
cmake_language(EVAL CODE "cmake_language(DEFER DIRECTORY [[${PROJECT_SOURCE_DIR}]] CALL amvex_install_tools
                          [[${AMVEX_VERSION}]] [[${AMVEX_RELEASE_EPOCH}]] [[${CMAKE_CURRENT_BINARY_DIR}/man]] [[${CMAKE_INSTALL_MANDIR}]])")

# Each package's copyright and changelog (gzip -n: the same bytes every build),
# in the package's own documentation folder.
configure_file(${PROJECT_SOURCE_DIR}/cmake/install/debian/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/changelog @ONLY)
execute_process(COMMAND gzip -9 -n -f ${CMAKE_CURRENT_BINARY_DIR}/changelog COMMAND_ERROR_IS_FATAL ANY)
set(_amvex_packages runtime libamvex${AMVEX_SOVERSION} dev libamvex-dev tools amvex-tools python python3-amvex)
while(_amvex_packages)
  list(POP_FRONT _amvex_packages component package)
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/install/debian/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
endwhile()

# The runtime package's symbols file: every export with the version node the
# linker gives it, so that packages built against it depend on the version
# that introduced what they use.
set(_amvex_symbols "libamvex.so.${AMVEX_SOVERSION} ${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME} #MINVER#\n"
                   "* Build-Depends-Package: libamvex-dev\n"
                   " ${AMVEX_SYMBOL_VERSION}@${AMVEX_SYMBOL_VERSION} ${AMVEX_VERSION}\n")
set(_amvex_sorted_exports ${AMVEX_EXPORTS})
list(SORT _amvex_sorted_exports)
foreach(name ${_amvex_sorted_exports})
  list(APPEND _amvex_symbols " ${name}@${AMVEX_SYMBOL_VERSION} ${AMVEX_VERSION}\n")
endforeach()
list(JOIN _amvex_symbols "" _amvex_symbols)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/debian/symbols "${_amvex_symbols}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/install/debian/shlibs.in ${CMAKE_CURRENT_BINARY_DIR}/debian/shlibs @ONLY)

# cpack -G DEB: the four packages. dpkg-shlibdeps declares what the library
# and the tools load at run time (the C library, the C++ runtime, edflib, GLFW
# and OpenGL), finding libamvex.so.1 in this build folder; the tools' and the
# binding's dependency on libamvex1 is named here. Binaries are stripped; the
# symbols and shlibs files let packages built against the library depend on
# it, and ldconfig triggers refresh the loader's cache.
set(CPACK_PACKAGE_NAME amvex)
set(CPACK_PACKAGE_VERSION ${AMVEX_VERSION})
string(REPLACE "." ";" _amvex_version_parts ${AMVEX_VERSION})
list(GET _amvex_version_parts 0 CPACK_PACKAGE_VERSION_MAJOR)
list(GET _amvex_version_parts 1 CPACK_PACKAGE_VERSION_MINOR)
list(GET _amvex_version_parts 2 CPACK_PACKAGE_VERSION_PATCH)
set(CPACK_PACKAGE_VENDOR "Amvex developers")
set(CPACK_PACKAGE_CONTACT "Amvex developers <amvex@amvex.invalid>")
string(CONCAT _amvex_about
       "Amvex drives USB biosignal amplifiers of 16 to 40 channels: it streams\n"
       "their samples with a sample number and status word per frame, relays\n"
       "the amplifier's UART data, reads and writes its EEPROM and calibration\n"
       "record, measures electrode impedance and writes to its display, and\n"
       "offers Butterworth, moving-average, mains-canceller and baseline filters.\n"
       "Without hardware, AMVEX_EMULATE selects emulated amplifiers with faults\n"
       "on cue.\n\n")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "library for Amvex biosignal amplifiers\n${_amvex_about}This package holds the shared library.")
string(CONCAT CPACK_DEBIAN_DEV_DESCRIPTION "development files for the Amvex amplifier library\n${_amvex_about}"
       "This package holds the C headers (amvex.h, and amvex_clock.h for host\n"
       "timestamps), the CMake and pkg-config files and an example host program.")
string(CONCAT CPACK_DEBIAN_TOOLS_DESCRIPTION "command-line tool and live viewer for Amvex amplifiers\n${_amvex_about}"
       "This package holds amxctl (list, stream, record to BDF+, impedance,\n"
       "display text, EEPROM) and amxview (live traces, spectrum, impedances).")
string(CONCAT CPACK_DEBIAN_PYTHON_DESCRIPTION "Python binding of the Amvex amplifier library\n${_amvex_about}"
       "This package holds the amvex module: streaming into numpy arrays, host\n"
       "timestamps, the library's filters and export to MNE.")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools python)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_CURRENT_BINARY_DIR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/debian/shlibs
    ${CMAKE_CURRENT_BINARY_DIR}/debian/symbols ${PROJECT_SOURCE_DIR}/cmake/install/debian/triggers)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME} (= ${AMVEX_VERSION})")
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME} (>= ${AMVEX_VERSION})")
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME} (>= ${AMVEX_VERSION}), python3:any, python3-numpy")
set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS python3-zmq)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS python3-mne)
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/install/debian/python3-amvex/prerm)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};ALL;/")
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)
include(CPack)
# `cmake --build DIR --target amvex_packages`: builds what the packages hold
# (the tools add themselves above), then makes them.
add_custom_target(amvex_packages COMMAND ${CMAKE_CPACK_COMMAND} -G DEB WORKING_DIRECTORY ${CMAKE_BINARY_DIR} VERBATIM)
add_dependencies(amvex_packages amvex)
