#!/usr/bin/env bash
# Checks that the library has the soname libcmdstub.so.0, defines no
# functions of its own and still depends on the platform libraries.
set -euo pipefail
lib="$1"
fail() { echo "FAIL: $*"; exit 1; }

dynamic=$(readelf -d "$lib")
grep -q 'Library soname: \[libcmdstub.so.0\]' <<<"$dynamic" || fail "soname is not libcmdstub.so.0"
for needed in libsystemd.so libpam.so libtarn-util.so; do
    grep -q "Shared library: \[$needed" <<<"$dynamic" || fail "not linked against $needed"
done

# Defined function symbols in the dynamic symbol table (section index != UND).
funcs=$(readelf --dyn-syms -W "$lib" | awk '$4 == "FUNC" && $7 != "UND" { print $8 }')
[ -z "$funcs" ] || fail "exports functions: $funcs"
echo "libcmdstub: soname, dependencies and empty export list ok"
