#!/usr/bin/env bash
# scripts/deps-windows.sh on a day the package mirror is in the middle of a sync, against stand-ins
# for apt-get, dpkg and dpkg-query: the index keeps failing with "File has unexpected size ... Mirror
# sync in progress?" and wine32:i386 cannot be resolved. What must hold: the index is tried again (3
# times), every package that can be installed is, the script reports failure, and the log names
# wine32:i386 and apt-get's reasons in a form the test command's last line can carry (no parentheses
# or semicolons); a part's own missing package is seen as missing.
#   deps_mirror_sync.sh SOURCE_DIR WORK_DIR
set -uo pipefail
src=$1
work=$2
rm -rf "$work"
mkdir -p "$work/bin"
state=$work/state
mkdir -p "$state"
fail() { echo "deps_mirror_sync: $*" >&2; exit 1; }

# Everything installed but valgrind and wine32:i386.
source "$src/scripts/packages.sh"
printf '%s\n' "${core_packages[@]}" "${sanitizer_packages[@]}" "${windows_cross_packages[@]}" \
  "${wine_packages[@]}" "${python_packages[@]}" >"$state/installed"

cat >"$work/bin/dpkg-query" <<STUB
#!/usr/bin/env bash
# dpkg-query -W -f=FORMAT PACKAGE
grep -qxF "\${@: -1}" "$state/installed" && printf 'install ok installed' && exit 0
exit 1
STUB
cat >"$work/bin/dpkg" <<'STUB'
#!/usr/bin/env bash
[ "$1" = --print-foreign-architectures ] && echo i386
exit 0
STUB
cat >"$work/bin/id" <<'STUB'
#!/usr/bin/env bash
echo 0
STUB
cat >"$work/bin/apt-get" <<STUB
#!/usr/bin/env bash
case " \$* " in
  *" update "*)
    echo x >>"$state/updates"
    echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100 ;;
  *" install "*)
    pkgs=()
    for a in "\$@"; do [[ \$a = -* || \$a = install ]] || pkgs+=("\$a"); done
    for p in "\${pkgs[@]}"; do
      if [ "\$p" = wine32:i386 ]; then
        echo " libwine:i386 : Depends: libgstreamer-plugins-base1.0-0:i386 (>= 1.0.0) but it is not going to be installed"
        echo "E: Unable to correct problems; you have held broken packages." >&2
        exit 100
      fi
    done
    printf '%s\n' "\${pkgs[@]}" >>"$state/installed" ;;
esac
exit 0
STUB
chmod +x "$work/bin"/*

log=$work/deps.log
out=$(PATH=$work/bin:$PATH EEGMEX_DEPS_LOG=$log EEGMEX_APT_PAUSE=0 bash "$src/scripts/deps-windows.sh" 2>&1)
rc=$?
echo "$out"
[ "$rc" != 0 ] || fail "it reported success with wine32:i386 missing"
[ "$(wc -l <"$state/updates")" = 3 ] || fail "the index was tried $(wc -l <"$state/updates") times, not 3"
grep -qx valgrind "$state/installed" || fail "valgrind, which could be installed, was not"
grep -qx wine32:i386 "$state/installed" && fail "the stand-in installed wine32:i386"
grep -q 'Mirror sync in progress' "$log" || fail "the log does not give the index's failure: $(cat "$log")"
grep -q 'wine32:i386' "$log" || fail "the log does not name wine32:i386: $(cat "$log")"
reason=$(PATH=$work/bin:$PATH EEGMEX_DEPS_LOG=$log bash -c "source '$src/scripts/packages.sh'; deps_problem")
[ -n "$reason" ] && [[ $reason != *[\(\)\;]* ]] || fail "the reason is empty or holds parentheses or semicolons: $reason"
missing=$(PATH=$work/bin:$PATH bash -c "source '$src/scripts/packages.sh'; missing_packages wine64 wine32:i386 valgrind")
[ "$missing" = wine32:i386 ] || fail "missing_packages gave '$missing', not wine32:i386"
echo "deps_mirror_sync: index tried 3 times, valgrind installed, wine32:i386 named as missing with the mirror's reason"
