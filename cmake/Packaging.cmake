# What `cmake --install` adds beside the library, the headers, the tool and
# the Python module: the CMake package, the pkg-config file; and the Debian
# package built by CPack.
include(CMakePackageConfigHelpers)

set(TAM_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/TamBTree170NT)
install(EXPORT TamBTree170NTTargets NAMESPACE TamBTree:: DESTINATION ${TAM_CMAKE_DIR}
        COMPONENT Development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TamBTree170NTConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/TamBTree170NTConfig.cmake
                              INSTALL_DESTINATION ${TAM_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TamBTree170NTConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TamBTree170NTConfig.cmake
              ${PROJECT_BINARY_DIR}/TamBTree170NTConfigVersion.cmake
        DESTINATION ${TAM_CMAKE_DIR} COMPONENT Development)

# The .pc file finds the prefix from where it lies, so the installed tree can
# be moved.
file(RELATIVE_PATH TAM_PC_PREFIX_FROM_PCDIR /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix/)
string(REGEX REPLACE "/$" "" TAM_PC_PREFIX_FROM_PCDIR "${TAM_PC_PREFIX_FROM_PCDIR}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/tambtree170nt.pc.in
               ${PROJECT_BINARY_DIR}/tambtree170nt.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tambtree170nt.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)

set(CPACK_PACKAGE_NAME tambtree170nt)
set(CPACK_PACKAGE_VENDOR "TamBTree170NT")
set(CPACK_PACKAGE_CONTACT "TamBTree170NT maintainers <tambtree170nt@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Embedded B+-tree storage library in one file, with the tambtree tool")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
find_program(TAM_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TAM_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The Python module is built for one interpreter version.
if(TAMBTREE_PYTHON)
  set(tam_py ${Python_VERSION_MAJOR}.${Python_VERSION_MINOR})
  math(EXPR tam_py_next "${Python_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS
      "python3 (>= ${tam_py}), python3 (<< ${Python_VERSION_MAJOR}.${tam_py_next})")
endif()
include(CPack)
