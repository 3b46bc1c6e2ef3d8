#!/usr/bin/env bash
# Measures the explorer of this tree side by side with an older one (by
# default the last before the depth-first search, 10060ee), in one run: the
# lock for one, two and three rounds and the four-thread litmus tests under
# each model, each a process of its own, timed with its peak memory.
# Each is the fastest of three runs. Usage: compare.sh [REVISION [SECONDS]];
# SECONDS bounds each run (120).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
rev=${1:-10060ee}
limit=${2:-120}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Each explorer in a folder of its own, with today's programs beside it, so
# that they include it and not the other.
mkdir -p "$work/old" "$work/new"
for file in memory_model_explorer.h memory_model_explorer.cpp; do
    # The older explorer lived beside the lock's demonstrations.
    git -C "$root" show "$rev:lock_demos/$file" > "$work/old/$file" 2>/dev/null ||
        git -C "$root" show "$rev:memory_models/$file" > "$work/old/$file"
    cp "$root/memory_models/$file" "$work/new/"
done
for dir in old new; do
    cp "$root/memory_models/litmus_programs.h" "$root/lock_demos/lock_programs.h" "$work/$dir/"
done
build() {
    g++ -std=c++20 -O2 -DNDEBUG -I "$work/$1" -I "$root/shared_counter" \
        "$here/speed.cpp" "$work/$1/memory_model_explorer.cpp" -o "$work/speed-$1"
}
build old &
build new
wait

# The fastest of three runs, as the machine's other work can only slow a run;
# one, when the first does not finish.
measure() {
    local out status best="" best_time=""
    for _ in 1 2 3; do
        set +e
        out=$(timeout "$limit" /usr/bin/time -f '%e s, %M KB' "$@" 2>&1)
        status=$?
        set -e
        if [ "$status" = 124 ]; then
            echo "did not finish in $limit s"
            return
        fi
        out=$(echo "$out" | tr '\n' ' ' | sed 's/ $//')
        if [ "$status" != 0 ]; then
            echo "$out"
            return
        fi
        local took=${out##*, a witness of * steps, }
        took=${took%% s *}
        if [ -z "$best" ] || awk -v a="$took" -v b="$best_time" 'BEGIN { exit !(a < b) }'; then
            best=$out
            best_time=$took
        fi
    done
    echo "$best"
}
printf '%-12s %-13s | %s\n' case model "before ($rev) | now"
for what in lock1 lock2 lock3 iriw iriw+fences; do
    for model in interleaving x86-TSO C++; do
        printf '%-12s %-13s | %s | %s\n' "$what" "$model" "$(measure "$work/speed-old" "$what" "$model")" \
            "$(measure "$work/speed-new" "$what" "$model")"
    done
done
