# End-to-end cases: the x64 launcher under Wine and Xvfb. One Wine session (display and
# prefix) is set up for all of them and ended after them.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(E2E_DIR ${PROJECT_SOURCE_DIR}/tests/e2e)
set(E2E_STATE ${CMAKE_CURRENT_BINARY_DIR}/e2e-session)

add_test(NAME e2e_session_start COMMAND Python3::Interpreter ${E2E_DIR}/wine_session.py start ${E2E_STATE})
add_test(NAME e2e_session_stop COMMAND Python3::Interpreter ${E2E_DIR}/wine_session.py stop ${E2E_STATE})
set_tests_properties(e2e_session_start PROPERTIES FIXTURES_SETUP wine LABELS e2e)
set_tests_properties(e2e_session_stop PROPERTIES FIXTURES_CLEANUP wine LABELS e2e)

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
  signed_launcher_runs_end_to_end)
foreach(case IN LISTS E2E_CASES)
  add_test(NAME e2e_${case} COMMAND Python3::Interpreter ${E2E_DIR}/run_case.py ${E2E_STATE} ${case})
  # Cases share one display, so they run one at a time.
  set_tests_properties(e2e_${case} PROPERTIES FIXTURES_REQUIRED wine LABELS e2e RESOURCE_LOCK wine
                       TIMEOUT 180)
endforeach()
