# What `cmake --install` and the packages put under the prefix besides the
# library and its headers (installed by the top-level CMakeLists.txt): the
# programs, the CMake package (find_package(kiv), kiv::kiv), kiv.pc, the
# Python module, the man pages, the bash completion and the systemd unit.
# Components: library (libkiv.so.0), development (headers, CMake package,
# kiv.pc, the libkiv.so link), programs (everything else).
# Include from the top-level CMakeLists.txt after its install(TARGETS kiv
# EXPORT kivTargets ...) line; with KIV_TESTS it also registers the test that
# installs into a temporary prefix and checks the result.
include(CMakePackageConfigHelpers)

set(KIV_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/kiv)

# <kiv/satellite.h> includes <boost/shared_ptr.hpp>: users need Boost's
# headers, which the package config finds for them.
target_link_libraries(kiv INTERFACE Boost::headers)
add_library(kiv::kiv ALIAS kiv)

install(EXPORT kivTargets NAMESPACE kiv:: DESTINATION ${KIV_INSTALL_CMAKEDIR}
  COMPONENT development)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/kivConfig.cmake.in
  ${CMAKE_BINARY_DIR}/kivConfig.cmake
  INSTALL_DESTINATION ${KIV_INSTALL_CMAKEDIR})
# 0.x: minor versions may break the interface.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/kivConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/kivConfig.cmake ${CMAKE_BINARY_DIR}/kivConfigVersion.cmake
  DESTINATION ${KIV_INSTALL_CMAKEDIR} COMPONENT development)

# kiv.pc finds its prefix from its own place, so a tree installed with
# --prefix, unpacked elsewhere or moved still compiles.
configure_file(${CMAKE_SOURCE_DIR}/cmake/kiv.pc.in ${CMAKE_BINARY_DIR}/kiv.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kiv.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)

# The programs link the library's objects statically; only the Python module
# loads libkiv.so.0.
install(TARGETS kiv_cli kivd ZibCrashReporter RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  COMPONENT programs)

install(FILES ${CMAKE_SOURCE_DIR}/tools/kiv/kiv.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions RENAME kiv
  COMPONENT programs)

# The unit and the Python module's place are settled when installing, not
# when configuring, so that one build installs right into any --prefix and
# into the packages (/usr): the unit names the installed kivd; the module
# goes where Debian's python3 looks without help, lib/python3/dist-packages
# under /usr (Debian's own modules' folder), lib/python3.N/dist-packages
# under any other prefix (what it searches in /usr/local). The module looks
# for the library two folders above its own.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_FOUND)
  set(KIV_PYTHON_VERSIONED_DIR python${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR})
else()
  set(KIV_PYTHON_VERSIONED_DIR python3)
endif()
install(CODE "
  set(CMAKE_INSTALL_FULL_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  configure_file(\"${CMAKE_SOURCE_DIR}/tools/kivd/kivd.service.in\"
    \"${CMAKE_BINARY_DIR}/installing/kivd.service\" @ONLY)
  file(INSTALL \"${CMAKE_BINARY_DIR}/installing/kivd.service\"
    DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
  set(python_dir \"${CMAKE_INSTALL_LIBDIR}/${KIV_PYTHON_VERSIONED_DIR}/dist-packages\")
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(python_dir \"${CMAKE_INSTALL_LIBDIR}/python3/dist-packages\")
  endif()
  file(INSTALL \"${CMAKE_SOURCE_DIR}/python/kiv_automation.py\"
    DESTINATION \"\${CMAKE_INSTALL_PREFIX}/\${python_dir}\")"
  COMPONENT programs)

include(${CMAKE_SOURCE_DIR}/cmake/KivManPages.cmake)
kiv_man_page(${CMAKE_SOURCE_DIR}/tools/kiv/kiv.1.scd)
kiv_man_page(${CMAKE_SOURCE_DIR}/tools/kivd/kivd.8.scd)

# A packaging check: a sanitizer-built library cannot be loaded by the
# plain example, so it runs in the plain build only.
if(KIV_TESTS AND NOT KIV_ASAN AND NOT KIV_TSAN)
  # Needs the library built and takes a configure and a compile: runs alone.
  add_test(NAME install_example
    COMMAND sh ${CMAKE_SOURCE_DIR}/examples/install_test.sh
            ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR}/examples ${CMAKE_COMMAND})
  set_tests_properties(install_example PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE)
endif()
