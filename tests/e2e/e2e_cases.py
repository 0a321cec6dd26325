"""The end-to-end cases: a launcher build under Wine as a user runs it, with the stand-in
installer of the same width as the installer it carries and the dialog driver as the
user's hand. Every case runs on both builds."""
import os
import shutil
import subprocess
import time

from e2e_support import (expect, expect_equal, expect_error_notice,
                         expect_installation_complete, read)
from tq30 import ROOT
from tq30.manifest import FILES, file_of
from tq30.wine import MAKE_DEMO_PAYLOAD, PACK, windows_path

# Rows with a part to play in the cases below.
FIRST = FILES[0]
DATA_1 = file_of("data_1")
INSTALLER = file_of("setup_exe")
AFTER_INSTALLER = file_of("disk1_id")  # the row after the installer
LARGEST = file_of("data_2")


def question(name):
    return (f"{name} is in the current folder.For further instllation you must overwrite "
            f"{name}\nDo you want to execute ?")


def still_running_after(process, seconds):
    """True when `process` has not exited `seconds` from now."""
    try:
        process.wait(timeout=seconds)
        return False
    except subprocess.TimeoutExpired:
        return True


def installer_ended(case, timeout=120):
    """The environment that has the installer's first stage leave a stamp as it ends, and a
    function that waits for the stamp: what follows is then timed from the installer's end,
    not from the launcher's start, which takes far longer on the emulated machine."""
    stamp = os.path.join(case.folder, "..", "installer-ended")

    def wait():
        deadline = time.monotonic() + timeout
        while not os.path.exists(stamp):
            expect(time.monotonic() < deadline, f"the installer did not end within {timeout} s")
            time.sleep(0.1)
    return {"STANDIN_EXIT_STAMP": windows_path(stamp)}, wait


# The normal run and the hand-off.

def case_typical_run(case):
    launcher = case.launch()
    case.expect_no_box()
    expect_equal(case.finish(launcher), 0, "exit code")
    expect_installation_complete(case)
    expect_equal(case.installer_parameters(), b"CLEAR", "the installer's parameters")
    for name in FILES:
        carried = read(os.path.join(case.build.payload, name))
        expect(read(os.path.join(case.install, name)) == carried,
               f"installed {name} differs from the payload")
    expect_equal(case.present(), [], "payload files left in the folder")
    expect_equal(os.listdir(case.folder), [], "anything left in the folder")


def case_arguments_change_nothing(case):
    # Options an installer might take, a folder, a file of the payload and words with a
    # space: the run is the typical one, and the installer gets "CLEAR" and nothing else.
    launcher = case.launch(args=["/S", "--help", "-y", "C:\\elsewhere", INSTALLER, "two words"])
    case.expect_no_box()
    expect_equal(case.finish(launcher), 0, "exit code")
    expect_installation_complete(case)
    expect_equal(case.installer_parameters(), b"CLEAR", "the installer's parameters")
    expect_equal(os.listdir(case.folder), [], "anything left in the folder")


def case_window_lingers_after_installer_exits(case):
    stamp_env, wait_for_installer = installer_ended(case)
    launcher = case.launch(env={"STANDIN_WINDOW_MS": "6000", **stamp_env})
    wait_for_installer()
    expect(still_running_after(launcher, 2.5), "the launcher exited while 'Setup' was open")
    expect_equal(case.present(), FILES, "files while the installer's window is open")
    expect_equal(case.finish(launcher), 0, "exit code")
    expect_installation_complete(case)
    expect_equal(case.present(), [], "payload files left in the folder")


def case_unrelated_setup_window_holds_the_launcher(case):
    holder = case.start(case.build.program("dialog-driver.exe"), "hold-window", "Setup", "600000")
    expect_equal(holder.stdout.readline().strip(), "holding", "window holder started")
    stamp_env, wait_for_installer = installer_ended(case)
    launcher = case.launch(env={"STANDIN_STAGES": "1", **stamp_env})
    wait_for_installer()
    expect(still_running_after(launcher, 2.0), "the launcher exited while 'Setup' was open")
    expect_equal(case.present(), FILES, "files while an unrelated 'Setup' window is open")
    case.session.kill(holder)  # and its window with it
    expect_equal(case.finish(launcher), 0, "exit code")
    expect_equal(case.present(), [], "payload files left in the folder")


def case_installer_fails(case):
    launcher = case.launch(env={"STANDIN_EXIT_CODE": "5", "STANDIN_STAGES": "1"})
    expect_equal(case.finish(launcher), 0, "exit code")
    expect_equal(case.present(), [], "payload files left in the folder")


def case_installer_cancelled(case):
    launcher = case.launch(env={"STANDIN_CANCEL": "1"})
    expect_equal(case.finish(launcher), 0, "exit code")
    expect("cancelled by the user" in case.log_lines(), "the installer was not cancelled")
    expect(not os.path.exists(os.path.join(case.install, DATA_1)), "data installed anyway")
    expect_equal(case.present(), [], "payload files left in the folder")


def case_no_window_after_installer_removes_files_at_once(case):
    launcher = case.launch(env={"STANDIN_STAGES": "1"})
    expect_equal(case.finish(launcher, timeout=30), 0, "exit code")
    expect_equal(case.present(), [], "payload files left in the folder")


def case_installer_cannot_be_started(case):
    launcher = case.launch(case.launcher_whose_setup_is_no_program())
    # Wine reports a file that is no program in a box of its own first.
    case.press("ok", "Error")
    expect_error_notice(case.press("ok"), "Can't execute Setup.exe")
    expect_equal(case.finish(launcher), 1, "exit code")
    expect_equal(case.present(), FILES, "files kept after a failed start")


# One stub for every payload.

def case_one_stub_packed_with_two_payloads_of_other_sizes(case):
    # The build's stub, compiled once, packed here with two payloads of our own, each file
    # of another size than the demo's and the other payload's: each launcher writes its own
    # files whole, the installer finds every one as it was packed, and nothing is left.
    base = os.path.dirname(case.folder)
    payloads = [os.path.join(base, f"payload-times-{scale}") for scale in (2, 3)]
    for scale, payload in zip((2, 3), payloads):
        subprocess.run([MAKE_DEMO_PAYLOAD, "-o", payload, "--installer",
                        case.build.program("setup.exe"), "--scale", str(scale)], check=True)
    for name in FILES:
        sizes = {os.path.getsize(os.path.join(folder, name))
                 for folder in (case.build.payload, *payloads)}
        expect_equal(len(sizes), 3, f"sizes of {name} in the demo and the two payloads")
    for payload in payloads:
        launcher = payload + ".exe"
        subprocess.run([PACK, "pack", "--stub", case.build.stub, "--payload", payload,
                        "-o", launcher], check=True)
        shutil.rmtree(case.install, ignore_errors=True)
        if os.path.exists(case.log):
            os.remove(case.log)
        process = case.launch(launcher)
        case.expect_no_box()
        expect_equal(case.finish(process), 0, "exit code")
        # The installer checks each file's size and checksum as it starts, and copies it.
        expect_installation_complete(case)
        for name in FILES:
            expect(read(os.path.join(case.install, name)) ==
                   read(os.path.join(payload, name)), f"installed {name} differs from {payload}")
        expect_equal(os.listdir(case.folder), [], "anything left in the folder")


# Extraction failures.

def case_missing_item_is_reported_and_earlier_files_removed(case):
    launcher = case.launch(case.launcher_without_item("_setup_dll"))
    expect_error_notice(case.press("ok"), "Can't load resource [_setup_dll]")
    expect_equal(case.finish(launcher), 1, "exit code")
    expect_equal(case.present(), [], "files left after the failure")


def case_file_that_cannot_be_created_is_reported(case):
    os.mkdir(os.path.join(case.folder, INSTALLER))
    case.put(AFTER_INSTALLER, b"old")
    launcher = case.launch()
    expect_error_notice(case.press("ok"), f"Can't Create File [{INSTALLER}]")
    expect_equal(case.finish(launcher), 1, "exit code")
    expect_equal(case.present(), [INSTALLER, AFTER_INSTALLER], "files left after the failure")
    expect_equal(read(os.path.join(case.folder, AFTER_INSTALLER)), b"old", "later row's old file")


# A full disk for every file larger than the demo's data.1 and smaller than its data.2.
FULL_DISK_AT = 900000


def case_short_write_on_full_disk_removes_the_partial_file(case):
    launcher = case.launch(file_size_limit=FULL_DISK_AT)
    expect_error_notice(case.press("ok"), f"Can't write file [{LARGEST}]")
    expect_equal(case.finish(launcher), 1, "exit code")
    expect_equal(case.present(), [], "files left after the short write")


def case_short_write_to_full_device_is_reported(case):
    # Made where the launcher runs: the emulated machine's shares keep a link the host
    # made in a folder from leading out of it.
    case.session.run("/bin/ln", "-s", "/dev/full", LARGEST, cwd=case.folder, check=True)
    launcher = case.launch()
    # The link is a present file, so the question comes first.
    expect_equal(case.press("yes").get("text"), question(LARGEST), "question")
    expect_error_notice(case.press("ok"), f"Can't write file [{LARGEST}]")
    expect_equal(case.finish(launcher), 1, "exit code")
    # Wine will not delete a link to a device; every earlier row is gone, and the row
    # after it was never written.
    expect_equal(case.present(), [LARGEST], "files left after the short write")


# The overwrite question.

def case_question_text_and_buttons_then_no_at_row_zero(case):
    case.put(FIRST, b"the user's own readme")
    launcher = case.launch()
    shown = case.press("no")
    expect_equal(shown.get("text"), question(FIRST), "question text")
    expect_equal(shown.get("buttons"), "yes,no", "question buttons")
    expect_equal(shown.get("icon"), "warning", "question icon")
    expect_equal(shown.get("topmost"), "0", "question is not system-modal")
    expect_error_notice(case.press("ok"), "Installation will be halted")
    expect_equal(case.finish(launcher), 1, "exit code")
    expect_equal(case.present(), [FIRST], "files left after the halt")
    expect_equal(read(os.path.join(case.folder, FIRST)), b"the user's own readme",
                 "declined file")


def case_no_at_setup_exe_removes_rows_before_it(case):
    case.put(DATA_1, b"old data")
    case.put(INSTALLER, b"old setup")
    launcher = case.launch()
    expect_equal(case.press("yes").get("text"), question(DATA_1), "first question")
    expect_equal(case.press("no").get("text"), question(INSTALLER), "second question")
    expect_error_notice(case.press("ok"), "Installation will be halted")
    expect_equal(case.finish(launcher), 1, "exit code")
    expect_equal(case.present(), [INSTALLER], "files left after the halt")
    expect_equal(read(os.path.join(case.folder, INSTALLER)), b"old setup", "declined file")


def case_yes_to_all_eleven_completes_the_run(case):
    for name in FILES:
        case.put(name, b"old")
    launcher = case.launch()
    for name in FILES:
        expect_equal(case.press("yes").get("text"), question(name), "question")
    expect_equal(case.finish(launcher), 0, "exit code")
    expect_installation_complete(case)
    expect_equal(case.present(), [], "payload files left in the folder")


# Hardening.

def case_decoy_setup_beside_the_launcher_is_never_started(case):
    downloads = os.path.join(case.folder, "..", "downloads")
    os.makedirs(downloads)
    launcher = os.path.join(downloads, os.path.basename(case.build.launcher))
    shutil.copy(case.build.launcher, launcher)
    shutil.copy(case.build.program("decoy.exe"), os.path.join(downloads, INSTALLER))
    process = case.launch(launcher)
    expect_equal(case.finish(process), 0, "exit code")
    expect_installation_complete(case)
    expect(not os.path.exists(os.path.join(downloads, "decoy-was-started")) and
           not os.path.exists(os.path.join(case.folder, "decoy-was-started")),
           "the decoy setup.exe beside the launcher was started")
    expect_equal(case.present(), [], "payload files left in the folder")


def case_folder_whose_name_the_code_page_cannot_spell(case):
    # Chinese letters, which Wine's default (Western) ANSI code page has no characters for:
    # the folder's ANSI name holds "?" in their place.
    case.folder = os.path.join(case.folder, "\u5b89\u88c5\u7a0b\u5e8f")
    os.mkdir(case.folder)
    launcher = case.launch()
    case.expect_no_box()
    expect_equal(case.finish(launcher), 0, "exit code")
    expect_installation_complete(case)
    expect_equal(os.listdir(case.folder), [], "anything left in the folder")


# Signed releases.

def case_signed_launcher_runs_end_to_end(case):
    work = os.path.join(case.folder, "..", "signing")
    subprocess.run([os.path.join(ROOT, "tests", "signing", "make_test_ca.sh"), work], check=True)
    signed = os.path.join(work, "tq30-setup-signed.exe")
    subprocess.run([os.path.join(ROOT, "tools", "sign.sh"), case.build.launcher, signed],
                   check=True, env={**os.environ, "TQ30_SIGN_PKCS12":
                   os.path.join(work, "code.p12"), "TQ30_SIGN_PASSWORD": "test"})
    launcher = case.launch(signed)
    expect_equal(case.finish(launcher), 0, "exit code")
    expect_installation_complete(case)
    expect_equal(case.present(), [], "payload files left in the folder")
