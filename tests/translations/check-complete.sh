#!/usr/bin/env bash
# Fails when a translation file has unfinished, empty or obsolete entries, or when the
# Russian file merely repeats English texts that it should translate.
set -euo pipefail
status=0
for ts in "$@"; do
  if grep -nE 'type="(unfinished|vanished|obsolete)"|<translation></translation>' "$ts"; then
    echo "FAIL: $ts has untranslated entries (above)"
    status=1
  fi
  messages=$(grep -c '<message' "$ts" || true)
  [ "$messages" -gt 0 ] || { echo "FAIL: $ts holds no messages"; status=1; }
done
ru=${@: -1}
# Russian texts are written in Cyrillic; an entry without a single Cyrillic letter is suspect
# unless its source has no letters at all. Counted texts are checked form by form.
if awk '
  /<source>/ { src=$0; insrc=1 }
  /<translation>[^<]|<numerusform>/ { if (src ~ /[A-Za-z]/ && $0 !~ /[А-Яа-яЁё]/) { print "not Russian: " src " -> " $0; bad=1 } }
  END { exit bad ? 0 : 1 }' "$ru"; then
  status=1
fi
exit $status
