# kiv_test(NAME SOURCES... [LIBS libs...] [TIMEOUT seconds] [LABELS labels...]
#          [PRIVATE_NETWORK])
# Builds one GoogleTest binary against the library and the test kit
# (testing/), and registers it with ctest under a time-out, so that a hung
# test fails instead of stalling the run. PRIVATE_NETWORK runs the binary
# in a network namespace of its own holding only loopback: every test that
# binds the directory's port or uses the discovery group needs it.
function(kiv_test name)
  cmake_parse_arguments(KT "PRIVATE_NETWORK" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT KT_TIMEOUT)
    set(KT_TIMEOUT 120)
  endif()
  add_executable(${name} ${KT_SOURCES})
  if(KT_PRIVATE_NETWORK)
    target_link_libraries(${name} PRIVATE kiv_private_network_main)
  else()
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  target_link_libraries(${name} PRIVATE kiv_testing ${KT_LIBS})
  # Timing and memory bounds are looser where a sanitizer runs.
  target_compile_definitions(${name} PRIVATE
    KIV_SANITIZED=$<OR:$<BOOL:${KIV_ASAN}>,$<BOOL:${KIV_TSAN}>>)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${KT_TIMEOUT})
  if(KT_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${KT_LABELS}")
  endif()
endfunction()
