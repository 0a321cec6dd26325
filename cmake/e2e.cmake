# End-to-end cases, each run on both builds: the x64 launcher under the host's Wine (label
# e2e) and the PE32, the product, under Wine 10 in the PE32 runtime (label e2e-pe32). One
# Wine session (display and prefix) per build is set up for its cases and ended after them.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(E2E_DIR ${PROJECT_SOURCE_DIR}/tests/e2e)

# The cases are the case_* functions of e2e_cases.py, read from it here; editing it
# configures again.
file(STRINGS ${E2E_DIR}/e2e_cases.py E2E_CASES REGEX "^def case_[a-z0-9_]+\\(")
list(TRANSFORM E2E_CASES REPLACE "^def case_([a-z0-9_]+)\\(.*" "\\1")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${E2E_DIR}/e2e_cases.py)

# build: x64 or pe32; prefix: of the test names; label: the CTest label.
function(add_e2e_cases build prefix label)
  set(state ${CMAKE_CURRENT_BINARY_DIR}/${prefix}session)
  set(session Python3::Interpreter -m tq30.wine)
  add_test(NAME ${prefix}session_start COMMAND ${session} start ${state} ${build})
  add_test(NAME ${prefix}session_stop COMMAND ${session} stop ${state})
  # The first start of the PE32 session may build the runtime, and the emulated machine.
  # Where neither engine can be had, the start and every case skip (exit code 77).
  set_tests_properties(${prefix}session_start PROPERTIES FIXTURES_SETUP wine-${build}
                       LABELS ${label} TIMEOUT 1500 SKIP_RETURN_CODE 77
                       ENVIRONMENT ${PYTHON_TEST_ENVIRONMENT})
  set_tests_properties(${prefix}session_stop PROPERTIES FIXTURES_CLEANUP wine-${build}
                       LABELS ${label} ENVIRONMENT ${PYTHON_TEST_ENVIRONMENT})
  foreach(case IN LISTS E2E_CASES)
    add_test(NAME ${prefix}${case}
             COMMAND Python3::Interpreter ${E2E_DIR}/run_case.py ${state} ${case})
    # A build's cases share one display, so they run one at a time.
    set_tests_properties(${prefix}${case} PROPERTIES FIXTURES_REQUIRED wine-${build}
                         LABELS ${label} RESOURCE_LOCK wine-${build} TIMEOUT 300
                         SKIP_RETURN_CODE 77 ENVIRONMENT ${PYTHON_TEST_ENVIRONMENT})
  endforeach()
endfunction()

add_e2e_cases(x64 e2e_ e2e)
add_e2e_cases(pe32 e2e_pe32_ e2e-pe32)
