#!/usr/bin/env bash
# Symbol check of the shared libraries: what each exports (its dynamic
# symbol table) must be exactly the list kept in the tree, and the list
# exactly what its public header declares with the export macro, so that
# nothing is exported by accident and nothing vanishes. The libraries must
# not need the C++ runtime either: C programs link them with the C compiler.
#
#     scripts/symbol-check.sh [BUILD-DIR]            (default: build)
#     scripts/symbol-check.sh --update [BUILD-DIR]   rewrite the lists
#
# --update writes the names the built libraries export into the lists,
# keeping their comments: for a function added on purpose. The stores'
# libraries are checked when they were built.
set -euo pipefail
cd "$(dirname "$0")/.."
export LC_ALL=C

update=0
if [ "${1:-}" = "--update" ]; then
  update=1
  shift
fi
build=${1:-build}

# library in the build tree : header : export macro : list
libraries=(
  "lib/librewrite.so:lib/librewrite.h:LIBREWRITE_API:lib/exports.txt"
  "stores/sqlite/librewrite-sqlite.so:stores/sqlite/srs_sqlite.h:LIBREWRITE_SQLITE_API:stores/sqlite/exports.txt"
  "stores/redis/librewrite-redis.so:stores/redis/srs_redis.h:LIBREWRITE_REDIS_API:stores/redis/exports.txt"
)

failed=0
fail() {
  echo "symbol-check: $*" >&2
  failed=1
}

# Names that differ between two sorted lists, each line marked with what
# holds it: "<first>: name" or "<second>: name".
differences() { # first-label first-file second-label second-file
  comm -3 "$2" "$4" | awk -F'\t' -v a="$1" -v b="$3" \
    '{ if ($1 == "") print "  only in " b ": " $2; else print "  only in " a ": " $1 }'
}

tmp=$(mktemp -d "${TMPDIR:-/tmp}/librewrite-symbols.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

for entry in "${libraries[@]}"; do
  IFS=: read -r lib header macro list <<<"$entry"
  so=$build/$lib
  name=$(basename "$lib")
  if [ ! -e "$so" ]; then
    case $lib in
      lib/*) fail "$so is missing: build with REWRITE_SHARED=ON first"; continue ;;
      *) echo "symbol-check: $name skipped, not built in $build"; continue ;;
    esac
  fi

  # Defined dynamic symbols, the version suffix of any removed.
  nm -D --defined-only "$so" | awk '{print $NF}' | sed 's/@.*//' | sort -u >"$tmp/exported"
  # Declarations of the header that begin with the export macro; the name is
  # the last identifier before "(" or "[" or ";" on that line.
  grep -E "^$macro " "$header" | sed -E 's/\(.*//; s/\[.*//; s/;.*//' |
    grep -oE '[A-Za-z_][A-Za-z0-9_]*$' | sort -u >"$tmp/declared"
  # Declarations that begin in the first column without the macro.
  unmarked=$(grep -E '^[a-z].*[ *][A-Za-z_][A-Za-z0-9_]*(\(|\[|;)' "$header" |
    grep -vE '^(typedef|struct) ' || true)
  [ -z "$unmarked" ] || fail "$header declares without $macro:"$'\n'"$unmarked"

  if [ "$update" -eq 1 ]; then
    { grep '^#' "$list"; cat "$tmp/exported"; } >"$tmp/list"
    cp "$tmp/list" "$list"
    echo "symbol-check: $list written from $so"
  fi
  grep -vE '^(#|$)' "$list" | sort -u >"$tmp/listed"

  if ! cmp -s "$tmp/exported" "$tmp/listed"; then
    fail "$name does not export what $list lists:"$'\n'"$(differences "$name" "$tmp/exported" \
      "$list" "$tmp/listed")"
  fi
  if ! cmp -s "$tmp/declared" "$tmp/listed"; then
    fail "$header ($macro) and $list differ:"$'\n'"$(differences "$header" "$tmp/declared" \
      "$list" "$tmp/listed")"
  fi

  # The soname, and no C++ run-time library among the dependencies.
  dynamic=$(readelf -d "$so")
  soname=$(sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p' <<<"$dynamic")
  [ "$soname" = "$name.0" ] || fail "$name has the soname '$soname', not $name.0"
  needed=$(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<<"$dynamic")
  if grep -qE '^lib(stdc\+\+|c\+\+|gcc_s)\.' <<<"$needed"; then
    fail "$name needs the C++ run-time:"$'\n'"$needed"
  fi
  [ "$failed" -ne 0 ] || echo "symbol-check: $name exports the $(wc -l <"$tmp/listed") names of $list"
done

[ "$failed" -eq 0 ] && echo "symbol-check: passed"
exit "$failed"
