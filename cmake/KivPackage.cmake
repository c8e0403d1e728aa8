# Debian packages of the install components, made by `cpack -G DEB` in a
# build tree (scripts/package does it all):
#   libkiv0     libkiv.so.0
#   kiv         the programs, the kivd unit, the man pages, the completion
#               and the Python module (which loads libkiv.so.0)
#   libkiv-dev  headers, the CMake package, kiv.pc and the libkiv.so link
# Include after every install() rule. Each description's first line is the
# package's summary.
set(CPACK_PACKAGE_NAME kiv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Kiv developers <kiv@localhost>")
# Installed with CMAKE_INSTALL_PREFIX=/usr under a DESTDIR, so that the
# rules settled when installing (cmake/KivInstall.cmake) see the real prefix.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_COMPONENTS_ALL library programs development)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libkiv0)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
# shlibs for packages built against it, and the ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION "Kiv messaging library
A program that loads libkiv becomes a satellite: it registers services with
a directory, calls other satellites' services with typed values and answers
calls to its own.")

set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME kiv)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_DEPENDS "libkiv0 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PROGRAMS_DESCRIPTION "Kiv directory daemon, command line and Python module
kivd (the directory, with its systemd unit), kiv (the command line),
ZibCrashReporter and the Python module kiv_automation.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libkiv-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
  "libkiv0 (= ${PROJECT_VERSION}), libboost-dev (>= 1.74)")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "Kiv messaging library, development files
Headers, the CMake package (find_package(kiv), kiv::kiv) and kiv.pc.")

include(CPack)

# Packs this build (no second build), unpacks the packages into a scratch
# root and runs its kivd and kiv against each other. Plain builds only, as
# install_example.
find_program(KIV_DPKG_DEB dpkg-deb)
if(KIV_TESTS AND KIV_DPKG_DEB AND NOT KIV_ASAN AND NOT KIV_TSAN)
  add_test(NAME package_example
    COMMAND sh ${CMAKE_SOURCE_DIR}/examples/install_test.sh --package
            ${CMAKE_BINARY_DIR} ${CMAKE_CPACK_COMMAND})
  set_tests_properties(package_example PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE)
endif()
