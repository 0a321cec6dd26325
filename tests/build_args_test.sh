#!/usr/bin/env bash
# ./build.sh's command line and signing settings, and ./test.sh's command line, each row
# refused (or answered) before anything is built: the exit code and the exact line on stderr
# (stdout for --help).
# Relative paths are taken from the scratch folder the rows run in, as from a user's.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd -P)
version=$(sed -n 's/^project(tq30_launcher VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
scratch=$(mktemp -d /tmp/tq30-build-args.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
tests/signing/make_test_ca.sh "$scratch" >/dev/null
# A key on a token: the rows name the token's module, and the key by its URI.
tests/signing/make_test_token.sh "$scratch/token" "$scratch" 4321
export SOFTHSM2_CONF=$scratch/token/softhsm2.conf
mkdir "$scratch/payload-as-file-parent"
touch "$scratch/a-file"
# A DER PKCS#7 file, which the checks before a build take for a published signature.
openssl crl2pkcs7 -nocrl -certfile "$scratch/code.pem" -outform DER -out "$scratch/code.p7s"
ln -s "$root/dist" "$scratch/link-to-dist"
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$scratch/other.key" 2>/dev/null
cd "$scratch"
failures=0
# Each row of stdin run with the script $1:
# name | environment (words) | arguments (as the shell reads them: "" is an empty one) |
# exit code | the line expected (SCRATCH stands for the scratch folder, ROOT for the
# checkout, VERSION for the project's version; ONLY: the line of the row above, and no other)
check_rows() {
  local script=$1 name environment arguments code line words got out only previous=""
  while IFS='|' read -r name environment arguments code line; do
    only=""
    [ "$line" != ONLY ] || { only=yes line=$previous; }
    previous=$line
    line=${line//SCRATCH/$scratch}
    line=${line//ROOT/$root}
    line=${line//VERSION/$version}
    words=()
    eval "words=(${arguments//ROOT/$root})"
    got=0
    # shellcheck disable=SC2086 # the environment is words
    out=$(env $environment "$root/$script" "${words[@]}" 2>&1) || got=$?
    if [ "$got" -eq "$code" ] && grep -qxF -- "$line" <<<"$out" &&
      { [ -z "$only" ] || [ "$out" = "$line" ]; }; then
      echo "PASS $name"
    else
      failures=$((failures + 1))
      echo "FAIL $name: exit code $got (expected $code), output:"
      sed 's/^/    /' <<<"$out"
    fi
  done
}

check_rows build.sh <<'ROWS'
help||--help|0|usage: ./build.sh [-v] [--x64] [--] [PAYLOAD_DIR]
help_names_x64||--help|0|  --x64           build dist/tq30-setup-x64.exe and its stub dist/tq30-stub-x64.exe too,
help_names_the_stub||--help|0|Builds what ships: dist/tq30-setup.exe (PE32, the product), its stub dist/tq30-stub.exe
version||--version|0|build.sh VERSION
version_before_a_folder||--version a-file|0|build.sh VERSION
help_names_verbose||-v --help|0|  -v, --verbose   show everything the build prints, as it prints it
unknown_option||--fast|2|build.sh: unknown option --fast
unknown_option_after_verbose||--verbose --fast|2|build.sh: unknown option --fast
usage_line||--fast|2|usage: ./build.sh [-v] [--x64] [--] [PAYLOAD_DIR]   (./build.sh --help says more)
after_double_dash_a_name_with_a_dash||-- -payload|1|build.sh: payload folder -payload does not exist
after_double_dash_an_option_is_a_name||-v -- --fast|1|build.sh: payload folder --fast does not exist
after_double_dash_one_folder_at_most||-- a-file a-file|2|build.sh: one payload folder at most, not 2
empty_payload_folder||""|2|build.sh: the payload folder is an empty name; leave it out to build the demo payload
empty_payload_folder_usage_line||-v ""|2|usage: ./build.sh [-v] [--x64] [--] [PAYLOAD_DIR]   (./build.sh --help says more)
payload_folder_inside_dist||ROOT/dist/my-payload|2|build.sh: the payload folder ROOT/dist/my-payload is inside dist/, which the build replaces; keep it elsewhere
payload_folder_is_dist||ROOT/dist/|2|build.sh: the payload folder ROOT/dist is inside dist/, which the build replaces; keep it elsewhere
payload_folder_inside_dist_through_a_link||link-to-dist/my-payload|2|build.sh: the payload folder ROOT/dist/my-payload is inside dist/, which the build replaces; keep it elsewhere
payload_folder_inside_build||ROOT/build/win32/demo-payload|2|build.sh: the payload folder ROOT/build/win32/demo-payload is inside build/, which the build replaces; keep it elsewhere
two_folders||payload-as-file-parent payload-as-file-parent|2|build.sh: one payload folder at most, not 2
two_folders_around_verbose||payload-as-file-parent -v payload-as-file-parent|2|build.sh: one payload folder at most, not 2
verbose_not_a_folder||--verbose a-file|1|build.sh: a-file is not a folder: give the folder holding the eleven files
not_a_folder||a-file|1|build.sh: a-file is not a folder: give the folder holding the eleven files
no_such_folder||nowhere|1|build.sh: payload folder nowhere does not exist
no_such_folder_named_with_a_bidirectional_mark_and_a_stray_byte||$'now\xe2\x80\xaehere\xff'|1|build.sh: payload folder now\u202ehere\xff does not exist
key_without_certificate|TQ30_SIGN_KEY=code.key||1|build.sh: TQ30_SIGN_KEY names a key file, and its certificate goes in TQ30_SIGN_CERT, which is not set
certificate_without_key|TQ30_SIGN_CERT=code.pem||1|build.sh: TQ30_SIGN_CERT is set, but there is no key for it: set TQ30_SIGN_KEY to a key file, or to a token's pkcs11: URI
missing_key_file_beside_its_certificate|TQ30_SIGN_KEY=release.key TQ30_SIGN_CERT=code.pem||1|build.sh: TQ30_SIGN_KEY names release.key, which is not a file
missing_key_file_said_alone|TQ30_SIGN_KEY=release.key TQ30_SIGN_CERT=code.pem||1|ONLY
token_key_without_its_module|TQ30_SIGN_KEY=pkcs11:token=tq30-test;object=code TQ30_SIGN_CERT=token/code.pem TQ30_SIGN_PASSWORD=4321||1|build.sh: TQ30_SIGN_KEY is a pkcs11: URI (pkcs11:token=tq30-test;object=code): set TQ30_SIGN_PKCS11_MODULE to the token's PKCS#11 module
token_key_without_its_module_said_alone|TQ30_SIGN_KEY=pkcs11:token=tq30-test;object=code TQ30_SIGN_CERT=token/code.pem TQ30_SIGN_PASSWORD=4321||1|ONLY
token_module_that_does_not_load|TQ30_SIGN_PKCS11_MODULE=a-file TQ30_SIGN_KEY=pkcs11:token=tq30-test;object=code TQ30_SIGN_PASSWORD=4321||1|build.sh: TQ30_SIGN_PKCS11_MODULE (SCRATCH/a-file) does not load as a PKCS#11 module
token_module_not_a_file|TQ30_SIGN_PKCS11_MODULE=module.so TQ30_SIGN_KEY=pkcs11:token=tq30-test;object=code TQ30_SIGN_PASSWORD=4321||1|build.sh: TQ30_SIGN_PKCS11_MODULE names module.so, which is not a file
token_uri_naming_no_key|TQ30_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so TQ30_SIGN_KEY=pkcs11:token=tq30-test;object=nothing TQ30_SIGN_CERT=token/code.pem TQ30_SIGN_PASSWORD=4321||1|build.sh: TQ30_SIGN_KEY (pkcs11:token=tq30-test;object=nothing) names no private key on the tokens of TQ30_SIGN_PKCS11_MODULE
token_uri_naming_another_token|TQ30_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so TQ30_SIGN_KEY=pkcs11:token=elsewhere;object=code TQ30_SIGN_CERT=token/code.pem TQ30_SIGN_PASSWORD=4321||1|build.sh: TQ30_SIGN_KEY (pkcs11:token=elsewhere;object=code) names no private key on the tokens of TQ30_SIGN_PKCS11_MODULE
token_wrong_pin|TQ30_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so TQ30_SIGN_KEY=pkcs11:token=tq30-test;object=code TQ30_SIGN_PASSWORD=1234||1|build.sh: the token refused the PIN in TQ30_SIGN_PASSWORD for TQ30_SIGN_KEY (pkcs11:token=tq30-test;object=code): PIN incorrect
token_without_a_pin|TQ30_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so TQ30_SIGN_KEY=pkcs11:token=tq30-test;object=code||1|build.sh: TQ30_SIGN_PASSWORD is not set: it must hold the PIN of the token TQ30_SIGN_KEY is on
token_pin_in_the_uri|TQ30_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so TQ30_SIGN_KEY=pkcs11:token=tq30-test;object=code;pin-value=4321||1|build.sh: TQ30_SIGN_KEY holds a PIN (pin-value or pin-source), which would stand on a command line; give the PIN in TQ30_SIGN_PASSWORD
token_certificate_not_the_keys|TQ30_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so TQ30_SIGN_KEY=pkcs11:token=tq30-test;object=code TQ30_SIGN_CERT=code.pem TQ30_SIGN_PASSWORD=4321||1|build.sh: TQ30_SIGN_KEY (pkcs11:token=tq30-test;object=code) is not the key of any certificate in TQ30_SIGN_CERT (SCRATCH/code.pem)
token_without_a_certificate|TQ30_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so TQ30_SIGN_KEY=pkcs11:token=tq30-test;object=bare TQ30_SIGN_PASSWORD=4321||1|build.sh: TQ30_SIGN_CERT is not set, and the token holds no certificate at TQ30_SIGN_KEY (pkcs11:token=tq30-test;object=bare): set TQ30_SIGN_CERT to the key's certificate file
token_module_without_a_key|TQ30_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so TQ30_SIGN_PASSWORD=4321||1|build.sh: TQ30_SIGN_PKCS11_MODULE is set, but TQ30_SIGN_KEY is not: set it to the pkcs11: URI of the key on the token
token_module_with_a_key_file|TQ30_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so TQ30_SIGN_KEY=code.key TQ30_SIGN_CERT=code.pem TQ30_SIGN_PASSWORD=4321||1|build.sh: TQ30_SIGN_PKCS11_MODULE is set, so TQ30_SIGN_KEY must be the key's pkcs11: URI, not SCRATCH/code.key
token_beside_a_pkcs12_file|TQ30_SIGN_REQUIRED=yes TQ30_SIGN_PKCS12=code.p12 TQ30_SIGN_PASSWORD=test TQ30_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so TQ30_SIGN_KEY=pkcs11:token=tq30-test;object=code||1|build.sh: TQ30_SIGN_PKCS12 and TQ30_SIGN_PKCS11_MODULE each name a key: set one of them
token_all_in_one_run_module_line|TQ30_SIGN_REQUIRED=yes TQ30_SIGN_PKCS11_MODULE=a-file TQ30_SIGN_KEY=pkcs11:token=tq30-test;object=code TQ30_SIGN_CERT=code.key TQ30_SIGN_PASSWORD=4321||1|build.sh: TQ30_SIGN_PKCS11_MODULE (SCRATCH/a-file) does not load as a PKCS#11 module
token_all_in_one_run_certificate_line|TQ30_SIGN_REQUIRED=yes TQ30_SIGN_PKCS11_MODULE=a-file TQ30_SIGN_KEY=pkcs11:token=tq30-test;object=code TQ30_SIGN_CERT=code.key TQ30_SIGN_PASSWORD=4321||1|build.sh: TQ30_SIGN_CERT (SCRATCH/code.key) holds no PEM certificate: a key, or another kind of file?
token_all_in_one_run_required_line|TQ30_SIGN_REQUIRED=yes TQ30_SIGN_PKCS11_MODULE=a-file TQ30_SIGN_KEY=pkcs11:token=tq30-test;object=code TQ30_SIGN_CERT=code.key TQ30_SIGN_PASSWORD=4321||1|build.sh: TQ30_SIGN_REQUIRED is yes: 1 requires signing, 0 (or unset) does not
token_wrong_pin_beside_another_problem|TQ30_SIGN_REQUIRED=yes TQ30_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so TQ30_SIGN_KEY=pkcs11:token=tq30-test;object=code TQ30_SIGN_PASSWORD=1234||1|build.sh: the token refused the PIN in TQ30_SIGN_PASSWORD for TQ30_SIGN_KEY (pkcs11:token=tq30-test;object=code): PIN incorrect
missing_key_file|TQ30_SIGN_PKCS12=release.p12||1|build.sh: TQ30_SIGN_PKCS12 names release.p12, which is not a file
signing_required_yes|TQ30_SIGN_REQUIRED=yes||1|build.sh: TQ30_SIGN_REQUIRED is yes: 1 requires signing, 0 (or unset) does not
signing_required_empty_is_off|TQ30_SIGN_REQUIRED= TQ30_SIGN_KEY=code.key||1|build.sh: TQ30_SIGN_KEY names a key file, and its certificate goes in TQ30_SIGN_CERT, which is not set
password_without_a_key|TQ30_SIGN_PASSWORD=secret||1|build.sh: TQ30_SIGN_PASSWORD is set, but there is no key to open with it (TQ30_SIGN_PKCS12; TQ30_SIGN_KEY and TQ30_SIGN_CERT; or a token's TQ30_SIGN_PKCS11_MODULE and TQ30_SIGN_KEY)
key_and_certificate_swapped_key_line|TQ30_SIGN_KEY=code.pem TQ30_SIGN_CERT=code.key||1|build.sh: TQ30_SIGN_KEY (SCRATCH/code.pem) holds no private key that opens with the password in TQ30_SIGN_PASSWORD (unset counts as empty): a certificate, or the wrong password?
key_and_certificate_swapped_certificate_line|TQ30_SIGN_KEY=code.pem TQ30_SIGN_CERT=code.key||1|build.sh: TQ30_SIGN_CERT (SCRATCH/code.key) holds no PEM certificate: a key, or another kind of file?
key_of_another_pair|TQ30_SIGN_KEY=other.key TQ30_SIGN_CERT=code.pem||1|build.sh: TQ30_SIGN_KEY (SCRATCH/other.key) is not the key of any certificate in TQ30_SIGN_CERT (SCRATCH/code.pem)
certificate_in_a_pkcs12_file|TQ30_SIGN_KEY=code.key TQ30_SIGN_CERT=code.p12||1|build.sh: TQ30_SIGN_CERT (SCRATCH/code.p12) holds no PEM certificate: a key, or another kind of file?
signing_required_without_a_key|TQ30_SIGN_REQUIRED=1||1|build.sh: TQ30_SIGN_REQUIRED=1, but no signing key is configured (TQ30_SIGN_PKCS12; TQ30_SIGN_KEY and TQ30_SIGN_CERT; or a token's TQ30_SIGN_PKCS11_MODULE and TQ30_SIGN_KEY)
pkcs12_without_its_password|TQ30_SIGN_PKCS12=code.p12||1|build.sh: TQ30_SIGN_PKCS12 (SCRATCH/code.p12) cannot be opened with the password in TQ30_SIGN_PASSWORD (unset counts as empty): wrong password, or not a PKCS#12 file
detached_signature_beside_a_key|TQ30_SIGN_DETACHED=code.p7s TQ30_SIGN_KEY=code.key TQ30_SIGN_CERT=code.pem|payload-as-file-parent|1|build.sh: TQ30_SIGN_DETACHED attaches a published signature, and a key signs anew: set one of them
detached_signature_with_a_timestamp_authority|TQ30_SIGN_DETACHED=code.p7s TQ30_SIGN_TIMESTAMP_URL=http://127.0.0.1:1/|payload-as-file-parent|1|build.sh: TQ30_SIGN_TIMESTAMP_URL is set, but a published signature (TQ30_SIGN_DETACHED) carries its timestamp, if any, already
detached_signature_in_pem|TQ30_SIGN_DETACHED=code.pem|payload-as-file-parent|1|build.sh: TQ30_SIGN_DETACHED (SCRATCH/code.pem) holds no DER PKCS#7 signature, as a signed build leaves beside its launcher
detached_signature_missing_said_alone|TQ30_SIGN_DETACHED=release.p7s TQ30_SIGN_DETACHED_X64=code.p7s|payload-as-file-parent|1|build.sh: TQ30_SIGN_DETACHED names release.p7s, which is not a file
detached_signature_missing_said_alone_only|TQ30_SIGN_DETACHED=release.p7s TQ30_SIGN_DETACHED_X64=code.p7s|payload-as-file-parent|1|ONLY
detached_x64_signature_without_the_x64_launcher|TQ30_SIGN_DETACHED=code.p7s TQ30_SIGN_DETACHED_X64=code.p7s|payload-as-file-parent|1|build.sh: TQ30_SIGN_DETACHED_X64 is set, but no x64 launcher is built: add --x64
detached_x64_signature_alone|TQ30_SIGN_DETACHED_X64=code.p7s|--x64 payload-as-file-parent|1|build.sh: TQ30_SIGN_DETACHED_X64 is set, but TQ30_SIGN_DETACHED, the PE32's signature, is not
detached_signature_of_the_pe32_alone_for_the_demo|TQ30_SIGN_DETACHED=code.p7s||1|build.sh: the x64 launcher is built too: set TQ30_SIGN_DETACHED_X64 to its signature (dist/tq30-setup-x64.exe.p7s)
pkcs12_with_a_wrong_password|TQ30_SIGN_PKCS12=code.p12 TQ30_SIGN_PASSWORD=wrong||1|build.sh: TQ30_SIGN_PKCS12 (SCRATCH/code.p12) cannot be opened with the password in TQ30_SIGN_PASSWORD (unset counts as empty): wrong password, or not a PKCS#12 file
ROWS

# ./test.sh answers or refuses these before it installs or builds anything.
check_rows test.sh <<'ROWS'
test_help||--help|0|usage: ./test.sh [-L LABEL] [-R NAME] [--fuzz-seconds N]
test_help_names_a_label||-h|0|  -L, --label LABEL     run only the cases whose label matches LABEL, a regular expression:
test_help_exit_codes||--help|0|Exit codes: 0 passed, 1 a test, a check or a build failed, 2 a usage error.
test_unknown_argument||--fast|2|test.sh: unknown argument --fast
test_unknown_argument_usage_line||unit|2|usage: ./test.sh [-L LABEL] [-R NAME] [--fuzz-seconds N]   (./test.sh --help says more)
test_label_without_a_value||-L|2|test.sh: -L needs a value
test_empty_name||-R ""|2|test.sh: -R needs a value
test_fuzz_seconds_not_a_number||--fuzz-seconds 0|2|test.sh: --fuzz-seconds needs a whole number above 0
ROWS
[ "$failures" -eq 0 ]
