#!/usr/bin/env bash
# Makes the Debian package from the build BUILD into a scratch folder and
# checks it: the files it holds (each PROGRAM named after BUILD with its
# manual page, and the documents), its control fields, that its copyright
# file is in Debian's form and names the Expat licence, and that a program
# from the unpacked tree runs. With "lintian" first, runs lintian on it
# instead, and fails on any error.
set -u
lint=false
if [ "$1" = lintian ]; then
    lint=true
    shift
fi
build=$1
shift
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cpack --config "$build/CPackConfig.cmake" -B "$scratch" > "$scratch/cpack.log" 2>&1 || { cat "$scratch/cpack.log"; exit 1; }
debs=("$scratch"/osprimer_*_amd64.deb)
deb=${debs[0]}
[ -f "$deb" ] || { echo "no package was made"; exit 1; }
if $lint; then
    lintian --fail-on error "$deb"
    exit
fi

status=0
complain() {
    echo "$*"
    status=1
}
expected=$({
    for name in "$@"; do
        echo "./usr/bin/$name"
        echo "./usr/share/man/man1/$name.1.gz"
    done
    printf './usr/share/doc/osprimer/%s\n' README.md copyright changelog.gz
    for test in "$(dirname "$0")"/../memory_models/litmus/*.litmus; do
        echo "./usr/share/doc/osprimer/litmus/${test##*/}"
    done
} | sort)
got=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
[ "$got" = "$expected" ] || complain "the package holds other files than it should:
$(diff <(echo "$expected") <(echo "$got"))"
field() {
    dpkg-deb -f "$deb" "$1"
}
[ "$(field Package)" = osprimer ] || complain "Package: $(field Package)"
[ "$(field Architecture)" = amd64 ] || complain "Architecture: $(field Architecture)"
[ -n "$(field Version)" ] || complain "no Version"
for dependency in libc6 procps coreutils; do
    grep -q "\\b$dependency\\b" <<<"$(field Depends)" || complain "Depends lacks $dependency: $(field Depends)"
done
dpkg-deb -x "$deb" "$scratch/tree"
copyright=$scratch/tree/usr/share/doc/osprimer/copyright
grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$copyright" && grep -qx 'License: Expat' "$copyright" || complain "the copyright file is not in Debian's form under the Expat licence"
[ "$("$scratch/tree/usr/bin/turnlock")" = "Final count: 0" ] || complain "turnlock from the package does not run"
exit $status
