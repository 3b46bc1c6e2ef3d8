#!/usr/bin/env bash
# Installs the kit from BUILD into a scratch prefix and checks what lands
# there: each PROGRAM named after it, which runs, and a manual page for each,
# which renders without a single warning.
set -u
build=$1
shift
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" > /dev/null || exit 1

status=0
complain() {
    echo "$*"
    status=1
}
for name in "$@"; do
    [ -x "$prefix/bin/$name" ] || complain "not installed: bin/$name"
    page=$prefix/share/man/man1/$name.1.gz
    if [ ! -f "$page" ]; then
        complain "not installed: share/man/man1/$name.1.gz"
        continue
    fi
    zcat "$page" | grep -q "^\.TH ${name^^} 1 " || complain "$name.1 is not the page for $name"
    # -ww turns on every warning; -z renders without output.
    warnings=$(zcat "$page" | groff -ww -man -Tutf8 -z 2>&1)
    [ -z "$warnings" ] || complain "$name.1: $warnings"
done
# A build for another machine runs under the emulator named in EMULATOR.
read -ra emulator <<<"${EMULATOR:-}"
[ "$(echo 5 | "${emulator[@]}" "$prefix/bin/factworker")" = "Enter a number: Factorial of 5 is: 120
Main thread: Work completed." ] || complain "the installed factworker does not run"
# The kit's litmus tests are installed beside its documents, for litmus to read.
"${emulator[@]}" "$prefix/bin/litmus" "$prefix/share/doc/osprimer/litmus/SB.litmus" | grep -q '^x86-TSO: 4 executions, 4 final states, sometimes' ||
    complain "the installed litmus does not explore the installed SB.litmus"
# predict runs the kit's programs from the folder it is installed in (not
# under an emulator, which runs predict but not what predict starts).
[ -n "${EMULATOR:-}" ] || "$prefix/bin/predict" reveal factworker-value | grep -q '| Enter a number: Factorial of 7 is: 5040$' ||
    complain "the installed predict does not find factworker"
# LeakSanitizer, in a sanitized build, cannot work in what proctrace traces.
[ -n "${EMULATOR:-}" ] || ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 "$prefix/bin/predict" reveal fork-tree |
    grep -q '^The key, by forkscript' ||
    complain "the installed predict does not run forkscript under proctrace"
exit $status
