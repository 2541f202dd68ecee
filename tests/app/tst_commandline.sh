#!/usr/bin/env bash
# The program's command line without a display: --help and --version print and end with 0 before
# anything starts (no log, no lock file); an unknown option or a stray argument ends with 2 and
# says what was wrong on standard error.
# Usage: tst_commandline.sh PATH-TO-vellacast VERSION
set -euo pipefail
program=$1
version=$2
work=$(mktemp -d /tmp/vellacast-cli.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
unset DISPLAY WAYLAND_DISPLAY
failures=0

# arguments | exit code | stream | a line that must be there (extended regular expression)
while IFS='|' read -r args code stream pattern; do
  status=0
  # shellcheck disable=SC2086
  "$program" $args >out.txt 2>err.txt || status=$?
  file=out.txt
  [ "$stream" = err ] && file=err.txt
  if [ "$status" != "$code" ] || ! grep -Eq -- "$pattern" "$file"; then
    echo "FAIL: vellacast $args: exit $status, stdout: $(cat out.txt), stderr: $(cat err.txt)"
    failures=$((failures + 1))
  fi
done <<CASES
--version|0|out|^vellacast $version\$
-v|0|out|^vellacast $version\$
--help|0|out|--minimized +Start in the system tray
-h|0|out|^Usage: vellacast \[options\]
--bogus|2|err|^vellacast: Unknown option 'bogus'\.
--minimized --what|2|err|Unknown option 'what'
stray|2|err|^vellacast: Unexpected argument 'stray'\.
-platform|2|err|Missing value after '-platform'
CASES

if ls vellacast_* vellacast.lock >/dev/null 2>&1; then
  echo "FAIL: the command line alone wrote files: $(ls)"
  failures=$((failures + 1))
fi
[ "$failures" = 0 ] && echo PASS
exit "$failures"
