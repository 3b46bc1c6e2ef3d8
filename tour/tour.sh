#!/usr/bin/env bash
# The kit's main job: a walk through every program, each under a heading
# that says what to watch for, followed by what it really printed.
set -u
bin=$1
# racecount's starting value, as the build set it: the count it ends at when nothing is lost.
start=$2
runs=200

heading() {
    printf '\n== %s: %s\n' "$1" "$2"
}

# Runs PROGRAM, then says how it ended.
show() {
    "$bin/$1"
    printf '(%s exited with status %d)\n' "$1" "$?"
}

# Runs PROGRAM with INPUT on its standard input.
feed() {
    printf '%s\n' "$2" | "$bin/$1"
    printf '(%s, given %s, exited with status %d)\n' "$1" "$2" "$?"
}

# Runs PROGRAM $runs times and prints how often each final count came up:
# every value when there are few, else a histogram of ten equal ranges.
spread() {
    for ((i = 0; i < runs; i++)); do
        "$bin/$1"
    done | sed -n 's/^Final count: //p' | sort -n | awk -v runs="$runs" -v start="$start" '
        { v[NR] = $1; n[$1]++ }
        END {
            if (NR != runs) printf "(only %d of %d runs printed a count)\n", NR, runs
            lo = v[1]; hi = v[NR]; kinds = 0
            for (x in n) kinds++
            if (kinds <= 10) {
                for (i = 1; i <= NR; i++) if (i == 1 || v[i] != v[i-1]) printf "%12d  %3d runs\n", v[i], n[v[i]]
                exit
            }
            width = (hi - lo) / 10
            for (i = 1; i <= NR; i++) { b = int((v[i] - lo) / width); if (b > 9) b = 9; bucket[b]++ }
            for (b = 0; b < 10; b++) {
                bar = ""; for (j = 0; j < int(bucket[b] * 50 / NR + 0.99); j++) bar = bar "#"
                printf "%12d .. %-12d %4d  %s\n", lo + b * width, lo + (b + 1) * width, bucket[b], bar
            }
            printf "runs that ended at %d, as if nothing was lost: %d of %d\n", start, n[start] + 0, NR
        }'
}

heading turnlock "two threads under Peterson's lock; $runs runs, and the count ends at 0 every time"
show turnlock
spread turnlock

# What weaklock shows depends on the processor; only x86-64's is known here.
if [ "$(uname -m)" = x86_64 ]; then
    weak="only the weaker orders let both threads in"
    predicted="the x86-TSO rows predict what weaklock just measured"
else
    weak="seq_cst never lets both threads in; the weaker orders may or may not on this processor"
    predicted="the x86-TSO rows are what an x86-64 processor would show"
fi
heading weaklock "the same lock, taken round after round with each memory order; $weak"
show weaklock

heading lockmodel "every execution of the same lock under three memory models; $predicted; then which repairs of the release/acquire lock hold under x86 and under the language's rules"
show lockmodel

# The kit's litmus tests are in its source, beside this script.
tests=$(cd "$(dirname "$0")/../memory_models/litmus" && pwd)
heading litmus "store buffering as a litmus test: every execution under each model, and the shortest in which both loads read 0; interleaving has none"
(cd "$tests" && "$bin/litmus" --witness SB.litmus)
printf '(litmus exited with status %d)\n' "$?"

heading racecount "four threads and no lock; $runs runs, and a count other than $start means lost updates"
show racecount
spread racecount

heading racetrace "racecount's race with every write tagged; the steps that count and those lost add up to all the steps"
show racetrace

heading factworker "a worker computes n! and hands it back through pthread_exit; it wraps past 20! and is 0 from 66! on"
for n in 5 20 21 65 66; do
    feed factworker "$n"
done

heading powerworker "a worker prints n, n squared and n cubed; main's waiting line may land anywhere among them"
for n in 3 46341 1291; do
    feed powerworker "$n"
done

folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
printf 'hello\n' > "$folder/notes.txt"
mkdir "$folder/photos"
cd "$folder" || exit 1

heading listwait "the child becomes ls -l; the parent waits, so its line comes after the listing"
show listwait

heading listnowait "the child becomes ls -l; the parent does not wait, so its line may come first"
show listnowait
sleep 0.5 # let the listing arrive before the next heading

# proctrace's report goes to standard error once everything has ended; here
# it follows the program's own output.
heading "proctrace listwait" "the same, traced: ls is reaped by listwait itself, before the parent's line, and the prompt comes when nothing runs"
"$bin/proctrace" "$bin/listwait" 2>&1
printf '(proctrace listwait exited with status %d)\n' "$?"

heading "proctrace listnowait" "listnowait exits first: its child is orphaned, adopted and reaped by proctrace, and still runs where a shell would print its prompt"
"$bin/proctrace" "$bin/listnowait" 2>&1
printf '(proctrace listnowait exited with status %d)\n' "$?"

heading "proctrace factworker" "a thread is created and ends; its pthread_exit value reaches main through the process's own memory, which the kernel never sees, so no event shows it"
printf '7\n' | "$bin/proctrace" "$bin/factworker" 2>&1
printf '(proctrace factworker exited with status %d)\n' "$?"

heading topwait "the child becomes top; \"Child finished\" comes only after top is quit (q is typed after 2 s)"
# top needs a terminal: script gives it a pseudo-terminal, whose screen is
# shown here as plain text.
{
    sleep 2
    printf '   ... typing q ...\n' >&2
    printf q
    sleep 1
} | TERM=xterm script -qec "stty rows 12 cols 90; $bin/topwait" /dev/null |
    sed -u 's/\x1b\[[0-9;?]*[A-Za-z]//g; s/\x1b[()][A-Z0-9]//g; s/\x1b[>=]//g; s/\r//g; /^[[:space:]]*$/d'
printf '(topwait exited with status %d)\n' "${PIPESTATUS[1]}"

cd "$bin" || exit 1
heading predict "an exercise asks before it shows: its question, the answer the kit computes as the key, that answer checked, then what every execution and this machine do"
./predict ask racecount-finals
key=$(./predict key racecount-finals)
printf 'Answer: %s\n' "$key"
./predict check racecount-finals "$key"
./predict reveal racecount-finals
printf '(predict exited with status %d)\n' "$?"

heading forkscript "a seeded script of forks, exits and waits: which processes are orphaned, by forkscript's rules, then the script run for real under proctrace beside them"
./predict ask fork-orphans --seed 2
key=$(./predict key fork-orphans --seed 2)
printf 'Answer: %s\n' "$key"
./predict check fork-orphans --seed 2 "$key"
./predict reveal fork-orphans --seed 2
printf '(predict exited with status %d)\n' "$?"
