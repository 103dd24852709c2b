# Our targets' compile flags: each target links lqs_flags, so a target of
# someone else's code added later is not held to our warnings.
add_library(lqs_warnings INTERFACE)
target_compile_options(lqs_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow $<$<BOOL:${LQS_WERROR}>:-Werror>)
target_compile_definitions(lqs_warnings INTERFACE QT_NO_KEYWORDS)
add_library(lqs_flags INTERFACE)
target_link_libraries(lqs_flags INTERFACE lqs_warnings)
# Every user-visible text is built deliberately, never from a bare char*.
# Tests compare against many literal texts and may build QStrings from them.
target_compile_definitions(lqs_flags INTERFACE QT_NO_CAST_FROM_ASCII)

# Sanitizers stay global: every object of a sanitized build must be
# instrumented, the tests' and the simulator's included.

if(LQS_SANITIZE)
  string(REPLACE ";" "," _lqs_san "${LQS_SANITIZE}")
  add_compile_options(-fsanitize=${_lqs_san} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${_lqs_san})
  if("undefined" IN_LIST LQS_SANITIZE)
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()

# What tests (and benchmarks) share: the helpers in tests/support.
add_library(lqs_test_support INTERFACE)
target_include_directories(lqs_test_support INTERFACE ${PROJECT_SOURCE_DIR}/tests/support)

# Test helper: one QtTest executable per unit, run headless.
function(lqs_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE Qt6::Test lqs_warnings lqs_test_support ${T_LIBS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
    TIMEOUT 300
    LABELS "${T_LABELS}")
endfunction()
