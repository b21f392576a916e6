#!/usr/bin/env bash
# Installs the build into a staging directory (DESTDIR) under a prefix of its own, then checks
# what landed where, that the man page renders without a warning and names the installed files
# and every simulated-Pi variable, and that the installed program runs and prints its banner.
# Usage: tests/install/install_test.sh BUILD_DIR SOURCE_DIR VERSION PLATFORM [EMULATOR...]
set -euo pipefail
build=$1
root=$2
version=$3
platform=$4
shift 4
emulator=("$@")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=/opt/tolvacapture-install-test
top=$work/stage$prefix
failures=0
fail() {
    echo "install_test: $*" >&2
    failures=$((failures + 1))
}

DESTDIR=$work/stage cmake --install "$build" --prefix "$prefix" >"$work/install.log" ||
    { cat "$work/install.log"; echo "install_test: cmake --install failed" >&2; exit 1; }

# Exactly these files, nothing else (no test programs, no libraries, nothing outside the prefix).
expected=(bin/tolvacapture share/doc/tolvacapture/README.md share/doc/tolvacapture/LICENSE
          share/man/man1/tolvacapture.1 lib/systemd/system/tolvacapture-night.service
          lib/systemd/system/tolvacapture-night.timer)
inits=($(cd "$root/sensors" && find . -type f | sed 's|^\./||' | sort))
for init in "${inits[@]}"; do
    expected+=("share/tolvacapture/sensors/$init")
done
if [[ "$(cd "$work/stage" && find . -type f | sort)" != \
      "$(printf "./${prefix#/}/%s\n" "${expected[@]}" | sort)" ]]; then
    fail "installed files differ from the expected ones:"
    diff <(printf "./${prefix#/}/%s\n" "${expected[@]}" | sort) \
         <(cd "$work/stage" && find . -type f | sort) >&2 || true
fi
[[ -x $top/bin/tolvacapture ]] || fail "bin/tolvacapture is not executable"
for init in "${inits[@]}"; do
    cmp -s "$root/sensors/$init" "$top/share/tolvacapture/sensors/$init" ||
        fail "sensors/$init differs from its installed copy"
done
cmp -s "$root/README.md" "$top/share/doc/tolvacapture/README.md" || fail "README.md differs"
cmp -s "$root/LICENSE" "$top/share/doc/tolvacapture/LICENSE" || fail "LICENSE differs"

# The man page: the version, the paths of this prefix (not DESTDIR's), every variable and fault
# the simulated Pi reads, and no warning from groff or man.
page=$top/share/man/man1/tolvacapture.1
grep -q "^\.TH TOLVACAPTURE 1 .*\"tolvacapture $version\"" "$page" ||
    fail "the man page's title line does not carry version $version"
grep -q "@[A-Z_]*@" "$page" && fail "the man page has placeholders left: $(grep -o '@[A-Z_]*@' "$page" | sort -u)"
for path in "$prefix/share/tolvacapture/sensors/" "$prefix/share/doc/tolvacapture/README.md"; do
    grep -qF "$path" "$page" || fail "the man page does not name $path"
done
grep -qF "$work" "$page" && fail "the man page names the staging directory"
knobs=$root/platform/sim/knobs.cpp
names=($(grep -o '"TOLVA_SIM_[A-Z0-9_]*"' "$knobs" | tr -d '"' | sort -u)
       $(sed -n 's/.*fault == "\([a-z0-9-]*\)".*/\1/p' "$knobs"))
[[ ${#names[@]} -gt 0 ]] || fail "found no TOLVA_SIM_* variables in $knobs"
for name in "${names[@]}"; do
    # man source writes a hyphen as \-
    grep -qwF -- "${name//-/\\-}" "$page" || fail "the man page does not mention $name"
done
export LC_ALL=C.UTF-8 MANWIDTH=80
groff -ww -man -Tutf8 -z "$page" 2>"$work/groff.err" || fail "groff failed on the man page"
[[ -s $work/groff.err ]] && fail "groff -ww warns: $(cat "$work/groff.err")"
man --warnings -l "$page" >"$work/man.txt" 2>"$work/man.err" || fail "man -l failed"
[[ -s $work/man.err ]] && fail "man -l warns: $(cat "$work/man.err")"
for section in NAME SYNOPSIS KEYS FILES "EXIT STATUS" ENVIRONMENT; do
    grep -q "^$section\$" "$work/man.txt" || fail "the rendered man page has no $section section"
done

# The installed program: banner with the project's version, the bring-up line, then the usage
# line for a missing argument, status 0. On the real board it would wait for a sensor: run only
# on the simulated Pi.
if [[ $platform == sim ]]; then
    status=0
    (cd "$work" && timeout 60 "${emulator[@]}" "$top/bin/tolvacapture" </dev/null \
        >"$work/out.txt" 2>"$work/err.txt") || status=$?
    [[ $status -eq 0 ]] || fail "the installed program ended with status $status"
    [[ "$(head -n 1 "$work/out.txt")" == "tolvacapture Ver. $version ("*")" ]] ||
        fail "banner '$(head -n 1 "$work/out.txt")' does not carry version $version"
    # MMAL's bring-up routes the camera's bus first; V4L2's reads the command line before it.
    grep -qx "exec camera_i2c" "$work/out.txt" || [[ "$(sed -n 2p "$work/out.txt")" == usage* ]] ||
        fail "no bring-up line"
    [[ "$(tail -n 1 "$work/out.txt")" == "usage> $top/bin/tolvacapture sensor_init_file [-8] "* ]] ||
        fail "last line '$(tail -n 1 "$work/out.txt")' is not the usage line"
    [[ $(grep -c "running on the simulated Pi" "$work/err.txt") -eq 1 ]] ||
        fail "the simulated-Pi notice is not on standard error exactly once: $(cat "$work/err.txt")"
fi

if [[ $failures -ne 0 ]]; then
    echo "install_test: $failures check(s) failed" >&2
    exit 1
fi
echo "install_test: ${#expected[@]} files installed under $prefix and checked"
