#!/usr/bin/env bash
# Man page check: every page in man/ renders without a warning under groff
# and mandoc, and the pages keep up with the code: srs.1 names every option
# of tool/options.cpp, librewrite.3 every function and table of
# lib/librewrite.h and every message text of lib/rewrite.cpp.
# Needs groff (Debian: groff-base) and mandoc.
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in groff mandoc; do
  command -v "$tool" >/dev/null || {
    echo "man-check: $tool is missing (Debian packages: groff-base mandoc)" >&2
    exit 1
  }
done

failed=0
fail() {
  echo "man-check: $*" >&2
  failed=1
}

for page in man/*.[1-8]; do
  out=$(groff -man -ww -z "$page" 2>&1) || fail "groff failed on $page"
  [ -z "$out" ] || fail "groff warns on $page:"$'\n'"$out"
  out=$(mandoc -Tlint "$page" 2>&1) || fail "mandoc -Tlint failed on $page"
  [ -z "$out" ] || fail "mandoc warns on $page:"$'\n'"$out"
done

# Options: the names of the option table, e.g. Entry{"secretfile=", ...}.
# In the page they are written with escaped dashes: \-\-secretfile= or \-d.
options=$(grep -o 'Entry{"[a-z=]*"' tool/options.cpp | sed 's/Entry{"//; s/"$//')
[ -n "$options" ] || fail "no options found in tool/options.cpp"
for name in $options; do
  if [ ${#name} -eq 1 ]; then written="\\-$name"; else written="\\-\\-$name"; fi
  grep -qF -- "$written" man/srs.1 || fail "srs.1 does not describe the option $written"
done

# Functions and tables of the public header: declarations that begin in the
# first column (after the export macro LIBREWRITE_API) and are neither a
# typedef nor preprocessor lines.
names=$(sed 's/^LIBREWRITE_API //' lib/librewrite.h |
  grep -E '^[a-z].*[ *][A-Za-z_][A-Za-z0-9_]*(\(|\[|;)' |
  grep -v '^typedef' | sed -E 's/^[^(]*[ *]([A-Za-z_][A-Za-z0-9_]*)[([;].*/\1/')
[ -n "$names" ] || fail "no functions found in lib/librewrite.h"
for name in $names; do
  grep -qF -- "$name" man/librewrite.3 || fail "librewrite.3 does not describe $name"
done

# Message texts, e.g. Message{SRS_OK, "The call was successful"} (the text
# may stand on the next line).
messages=$(tr '\n' ' ' <lib/rewrite.cpp | grep -oE 'Message\{SRS_[A-Z_]+, *"[^"]*"' |
  sed -E 's/^[^"]*"//; s/"$//')
[ -n "$messages" ] || fail "no messages found in lib/rewrite.cpp"
while IFS= read -r text; do
  grep -qxF -- "$text" man/librewrite.3 || fail "librewrite.3 lacks the message text: $text"
done <<<"$messages"
unknown=$(grep -oE 'unknown_message = "[^"]*"' lib/rewrite.cpp | sed -E 's/^[^"]*"//; s/"$//')
grep -qF -- "$unknown" man/librewrite.3 || fail "librewrite.3 lacks the message text: $unknown"

[ "$failed" -eq 0 ] && echo "man-check: passed"
exit "$failed"
