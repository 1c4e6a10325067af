#!/usr/bin/env bash
# Checks each Windows deliverable given on the command line with objdump -p:
#  - the PE machine: i386 for .mexw32, x86-64 for .mexw64;
#  - exactly one export, mexFunction, undecorated;
#  - imports only from libmx.dll, libmex.dll, kernel32.dll and msvcrt.dll (so libgcc, libstdc++
#    and winpthread are linked in), and from libmx/libmex only names their .def files list.
# Prints PASS/FAIL per check and a summary line; exits nonzero on any failure.
set -uo pipefail
defs=$(cd "$(dirname "$0")/../../host/windows" && pwd)
passed=0 failed=0
check() {  # check NAME CONDITION-RESULT DETAIL
  if [ "$2" = 0 ]; then echo "PASS pe: $1"; passed=$((passed + 1))
  else echo "FAIL pe: $1: $3"; failed=$((failed + 1)); fi
}
def_names() { sed -n '/^EXPORTS/,$p' "$1" | tail -n +2 | sed 's/;.*//' | awk 'NF {print $1}' | sort; }

for file in "$@"; do
  name=$(basename "$file")
  if [ ! -f "$file" ]; then check "$name exists" 1 "missing"; continue; fi
  dump=$(objdump -p "$file" 2>&1)
  arch=$(objdump -f "$file" 2>&1 | sed -n 's/^architecture: \([^,]*\),.*/\1/p')
  case "$name" in
    *.mexw32) want_format=pei-i386 want_arch=i386 ;;
    *.mexw64) want_format=pei-x86-64 want_arch=i386:x86-64 ;;
    *) check "$name suffix" 1 "not .mexw32/.mexw64"; continue ;;
  esac
  format=$(sed -n 's/.*file format \(.*\)$/\1/p' <<<"$dump" | head -1)
  [ "$format" = "$want_format" ] && [ "$arch" = "$want_arch" ]
  check "$name machine $want_arch" $? "format $format, architecture $arch"

  # The export name table lists "[ n] name" lines after "[Ordinal/Name Pointer] Table".
  exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | sed -n 's/^\s*\[ *[0-9]*\] \(.*\)$/\1/p')
  [ "$exports" = "mexFunction" ]
  check "$name exports only mexFunction" $? "exports: $(tr '\n' ' ' <<<"$exports")"

  dlls=$(sed -n 's/^\s*DLL Name: \(.*\)$/\1/p' <<<"$dump" | tr 'A-Z' 'a-z' | sort -u)
  bad=$(grep -vxE 'libmx\.dll|libmex\.dll|kernel32\.dll|msvcrt\.dll' <<<"$dlls")
  [ -n "$dlls" ] && [ -z "$bad" ]
  check "$name imports only from the allowed DLLs" $? "dlls: $(tr '\n' ' ' <<<"$dlls")"

  for lib in libmx libmex; do
    # Member names imported from this DLL: the lines after its "DLL Name" up to the next blank line.
    names=$(awk -v dll="$lib.dll" '
      /DLL Name:/ { inside = (tolower($3) == dll); next }
      inside && /^\s*$/ { inside = 0 }
      inside && $1 ~ /^[0-9a-f]+$/ && NF >= 3 { print $3 }' <<<"$dump" | sort -u)
    extra=$(comm -23 <(echo "$names" | grep .) <(def_names "$defs/$lib.def"))
    [ -n "$names" ] && [ -z "$extra" ]
    check "$name imports from $lib.dll only names of $lib.def" $? "imports: $(tr '\n' ' ' <<<"$names")"
  done
done
echo "pe checks: $passed passed, $failed failed"
[ "$failed" = 0 ] && [ "$passed" -gt 0 ]
