# Project-wide compile flags: warnings, Qt text hygiene, sanitizers.
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow)
if(LQS_WERROR)
  add_compile_options(-Werror)
endif()

# Every user-visible text is built deliberately, never from a bare char*.
add_compile_definitions(QT_NO_CAST_FROM_ASCII QT_NO_KEYWORDS)

if(LQS_SANITIZE)
  string(REPLACE ";" "," _lqs_san "${LQS_SANITIZE}")
  add_compile_options(-fsanitize=${_lqs_san} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${_lqs_san})
  if("undefined" IN_LIST LQS_SANITIZE)
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()

# Test helper: one QtTest executable per unit, run headless.
function(lqs_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE Qt6::Test ${T_LIBS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
    TIMEOUT 300
    LABELS "${T_LABELS}")
endfunction()
