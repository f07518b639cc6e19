#!/bin/sh
# Checks that the shared library exports exactly the names the public header declares:
# nothing internal leaks out, and nothing declared is missing.
# Names that begin with an underscore belong to the toolchain (linker marks, sanitizer
# runtime glue) and are not the library's own.
# Usage: check_exports.sh <nm> <liblep3.so> <lep3.h>
set -eu
nm=$1
lib=$2
header=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

{
    # Functions: the name right before the opening parenthesis on the LEP3_API line.
    sed -n 's/^LEP3_API [^(]*[ *]\([A-Za-z_][A-Za-z0-9_]*\)(.*/\1/p' "$header"
    # Globals: the name before an optional array size and the semicolon.
    sed -n 's/^LEP3_API extern [^;(]*[ *]\([A-Za-z_][A-Za-z0-9_]*\)\(\[[^]]*\]\)*;.*/\1/p' "$header"
} | sort -u >"$tmp/declared"

"$nm" -D --defined-only "$lib" | awk '{ print $3 }' | sed 's/@.*//' | grep -v '^_' | sort -u >"$tmp/exported"

status=0
extra=$(comm -13 "$tmp/declared" "$tmp/exported")
missing=$(comm -23 "$tmp/declared" "$tmp/exported")
if [ -n "$extra" ]; then
    echo "exported but not declared in $header:"
    echo "$extra"
    status=1
fi
if [ -n "$missing" ]; then
    echo "declared in $header but not exported:"
    echo "$missing"
    status=1
fi
if [ "$status" -eq 0 ]; then
    echo "exports match the header: $(wc -l <"$tmp/exported") names"
fi
exit "$status"
