# End-to-end cases, each run on both builds: the x64 launcher under the host's Wine (label
# e2e) and the PE32, the product, under Wine 10 in the PE32 runtime (label e2e-pe32). One
# Wine session (display and prefix) per build is set up for its cases and ended after them.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(E2E_DIR ${PROJECT_SOURCE_DIR}/tests/e2e)

set(E2E_CASES
  typical_run
  window_lingers_after_installer_exits
  unrelated_setup_window_holds_the_launcher
  installer_fails
  installer_cancelled
  no_window_after_installer_removes_files_at_once
  installer_cannot_be_started
  missing_item_is_reported_and_earlier_files_removed
  file_that_cannot_be_created_is_reported
  short_write_on_full_disk_removes_the_partial_file
  short_write_to_full_device_is_reported
  question_text_and_buttons_then_no_at_row_zero
  no_at_setup_exe_removes_rows_before_it
  yes_to_all_eleven_completes_the_run
  decoy_setup_beside_the_launcher_is_never_started
  folder_whose_name_the_code_page_cannot_spell
  signed_launcher_runs_end_to_end)

# build: x64 or pe32; prefix: of the test names; label: the CTest label.
function(add_e2e_cases build prefix label)
  set(state ${CMAKE_CURRENT_BINARY_DIR}/${prefix}session)
  set(session ${CMAKE_COMMAND} -E env PYTHONPATH=${PROJECT_SOURCE_DIR}/python
      ${Python3_EXECUTABLE} -m tq30.wine)
  add_test(NAME ${prefix}session_start COMMAND ${session} start ${state} ${build})
  add_test(NAME ${prefix}session_stop COMMAND ${session} stop ${state})
  # The first start of the PE32 session may build the runtime.
  set_tests_properties(${prefix}session_start PROPERTIES FIXTURES_SETUP wine-${build}
                       LABELS ${label} TIMEOUT 900)
  set_tests_properties(${prefix}session_stop PROPERTIES FIXTURES_CLEANUP wine-${build}
                       LABELS ${label})
  foreach(case IN LISTS E2E_CASES)
    add_test(NAME ${prefix}${case}
             COMMAND Python3::Interpreter ${E2E_DIR}/run_case.py ${state} ${case})
    # A build's cases share one display, so they run one at a time.
    set_tests_properties(${prefix}${case} PROPERTIES FIXTURES_REQUIRED wine-${build}
                         LABELS ${label} RESOURCE_LOCK wine-${build} TIMEOUT 180)
  endforeach()
endfunction()

add_e2e_cases(x64 e2e_ e2e)
add_e2e_cases(pe32 e2e_pe32_ e2e-pe32)
