#!/usr/bin/env bash
# The kit's main job: run each program once and show what it prints.
set -u
bin=$1

show() {
    printf '\n== %s: %s\n' "$1" "$2"
    "$bin/$1"
    printf '(exit status %d)\n' "$?"
}

show turnlock "two threads under Peterson's lock; the count always ends at 0"
show racecount "four threads with no lock; a count other than 10 shows lost updates"
