#!/usr/bin/env bash
# ./build.sh's command line and signing settings, each row refused (or answered) before
# anything is built: the exit code and the exact line on stderr (stdout for --help).
# Relative paths are taken from the scratch folder the rows run in, as from a user's.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scratch=$(mktemp -d /tmp/tq30-build-args.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
tests/signing/make_test_ca.sh "$scratch" >/dev/null
mkdir "$scratch/payload-as-file-parent"
touch "$scratch/a-file"
cd "$scratch"
failures=0
# name | environment (words) | arguments (words) | exit code | the line expected (SCRATCH
# stands for the scratch folder)
while IFS='|' read -r name environment arguments code line; do
  line=${line//SCRATCH/$scratch}
  got=0
  # shellcheck disable=SC2086 # the environment and the arguments are words
  out=$(env $environment "$root/build.sh" $arguments 2>&1) || got=$?
  if [ "$got" -eq "$code" ] && grep -qxF -- "$line" <<<"$out"; then
    echo "PASS $name"
  else
    failures=$((failures + 1))
    echo "FAIL $name: exit code $got (expected $code), output:"
    sed 's/^/    /' <<<"$out"
  fi
done <<'ROWS'
help||--help|0|usage: ./build.sh [-v] [PAYLOAD_DIR]
help_names_verbose||-v --help|0|  -v, --verbose   show everything the build prints, as it prints it
unknown_option||--fast|2|build.sh: unknown option --fast
unknown_option_after_verbose||--verbose --fast|2|build.sh: unknown option --fast
usage_line||--fast|2|usage: ./build.sh [-v] [PAYLOAD_DIR]   (./build.sh --help says more)
two_folders||payload-as-file-parent payload-as-file-parent|2|build.sh: one payload folder at most, not 2
two_folders_around_verbose||payload-as-file-parent -v payload-as-file-parent|2|build.sh: one payload folder at most, not 2
verbose_not_a_folder||--verbose a-file|1|build.sh: a-file is not a folder: give the folder holding the eleven files
not_a_folder||a-file|1|build.sh: a-file is not a folder: give the folder holding the eleven files
no_such_folder||nowhere|1|build.sh: payload folder nowhere does not exist
key_without_certificate|TQ30_SIGN_KEY=code.key||1|build.sh: TQ30_SIGN_KEY and TQ30_SIGN_CERT go together: set both, or neither
certificate_without_key|TQ30_SIGN_CERT=code.pem||1|build.sh: TQ30_SIGN_KEY and TQ30_SIGN_CERT go together: set both, or neither
missing_key_file|TQ30_SIGN_PKCS12=release.p12||1|build.sh: TQ30_SIGN_PKCS12 names release.p12, which is not a file
signing_required_without_a_key|TQ30_SIGN_REQUIRED=1||1|build.sh: TQ30_SIGN_REQUIRED=1, but no signing key is configured (TQ30_SIGN_PKCS12, or TQ30_SIGN_KEY and TQ30_SIGN_CERT)
pkcs12_without_its_password|TQ30_SIGN_PKCS12=code.p12||1|build.sh: TQ30_SIGN_PKCS12 (SCRATCH/code.p12) cannot be opened with the password in TQ30_SIGN_PASSWORD (unset counts as empty): wrong password, or not a PKCS#12 file
pkcs12_with_a_wrong_password|TQ30_SIGN_PKCS12=code.p12 TQ30_SIGN_PASSWORD=wrong||1|build.sh: TQ30_SIGN_PKCS12 (SCRATCH/code.p12) cannot be opened with the password in TQ30_SIGN_PASSWORD (unset counts as empty): wrong password, or not a PKCS#12 file
ROWS
[ "$failures" -eq 0 ]
