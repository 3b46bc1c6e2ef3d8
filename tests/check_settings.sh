#!/usr/bin/env bash
# Configures the kit from SOURCE in scratch folders with chosen build
# settings: values that are not whole numbers in range must stop the
# configure step with a message naming each; values in range must reach the
# programs, which the test shim SHIM then lets show them exactly.
set -u
source=$1
shim=$2
# For a build for another machine: its toolchain file, and the emulator its programs run under.
read -ra emulator <<<"${EMULATOR:-}"
cross=()
[ -z "${TOOLCHAIN:-}" ] || cross=("-DCMAKE_TOOLCHAIN_FILE=$TOOLCHAIN")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
complain() {
    echo "$*"
    status=1
}

bad=(OSPRIMER_TURNLOCK_STEPS=0 OSPRIMER_RACECOUNT_START=010 OSPRIMER_RACECOUNT_STEPS=2147483648)
out=$(cmake -S "$source" -B "$scratch/bad" -G Ninja "${bad[@]/#/-D}" 2>&1) && complain "configured with ${bad[*]}"
for setting in "${bad[@]}"; do
    grep -q "${setting%%=*} is '${setting#*=}'" <<<"$out" || complain "no message for $setting"
done
out=$(cmake -S "$source" -B "$scratch/bad" -G Ninja -DOSPRIMER_RACECOUNT_START=-2147483649 -DOSPRIMER_TURNLOCK_STEPS=ten 2>&1) &&
    complain "configured with a start below the 32-bit range and steps that are no number"
grep -q "OSPRIMER_RACECOUNT_START is '-2147483649'" <<<"$out" || complain "no message for the start below the range"
grep -q "OSPRIMER_TURNLOCK_STEPS is 'ten'" <<<"$out" || complain "no message for steps that are no number"

# The extremes that are allowed. With only some workers running, one after
# another, the count shows the start and the steps: turnlock's worker 0
# alone steps down from 0, racecount's T1 and T3 alone step down twice.
cmake -S "$source" -B "$scratch/good" -G Ninja "${cross[@]}" -DCMAKE_BUILD_TYPE=Release -DOSPRIMER_TURNLOCK_STEPS=7 \
    -DOSPRIMER_RACECOUNT_START=-2147483648 -DOSPRIMER_RACECOUNT_STEPS=5 > /dev/null || complain "good settings refused"
cmake --build "$scratch/good" --target turnlock racecount > /dev/null || complain "the build with good settings failed"
expect() {
    local got
    got=$(env LD_PRELOAD="$shim" SERIAL=1 IDLE_THREADS="$2" "${emulator[@]}" "$scratch/good/bin/$1")
    [ "$got" = "$3" ] || complain "$1 with threads $2 idle printed '$got', not '$3'"
}
expect turnlock 2 "Final count: -7"
expect racecount 2,4 "Final count: 2147483638"
expect racecount 1,3 "Final count: -2147483638"
exit $status
