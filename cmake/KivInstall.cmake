# Installs the package configuration next to libkiv.so and include/kiv/, so
# that programs find the library with find_package(kiv) and link kiv::kiv.
# Include from the top-level CMakeLists.txt after its install(TARGETS kiv
# EXPORT kivTargets ...) line; with KIV_TESTS it also registers the test that
# installs into a temporary prefix and builds examples/ against it.
include(CMakePackageConfigHelpers)

set(KIV_INSTALL_CMAKEDIR lib/cmake/kiv)

# <kiv/satellite.h> includes <boost/shared_ptr.hpp>: users need Boost's
# headers, which the package config finds for them.
target_link_libraries(kiv INTERFACE Boost::headers)
add_library(kiv::kiv ALIAS kiv)

install(EXPORT kivTargets NAMESPACE kiv:: DESTINATION ${KIV_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/kivConfig.cmake.in
  ${CMAKE_BINARY_DIR}/kivConfig.cmake
  INSTALL_DESTINATION ${KIV_INSTALL_CMAKEDIR})
# 0.x: minor versions may break the interface.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/kivConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/kivConfig.cmake ${CMAKE_BINARY_DIR}/kivConfigVersion.cmake
  DESTINATION ${KIV_INSTALL_CMAKEDIR})

# A packaging check: a sanitizer-built library cannot be loaded by the
# plain example, so it runs in the plain build only.
if(KIV_TESTS AND NOT KIV_ASAN AND NOT KIV_TSAN)
  # Needs the library built and takes a configure and a compile: runs alone.
  add_test(NAME install_example
    COMMAND sh ${CMAKE_SOURCE_DIR}/examples/install_test.sh
            ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR}/examples ${CMAKE_COMMAND})
  set_tests_properties(install_example PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE)
endif()
