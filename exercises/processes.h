// The process exercises: forkscript's seeded scripts, keyed by its rules,
// and the launchers, keyed by their own table; each revealed by a run under
// proctrace beside the key. Their rows are in the table with the others.
#pragma once

#include "exercise.h"

extern const exercise fork_tree;
extern const exercise fork_reaper;
extern const exercise fork_orphans;
extern const exercise launcher_lines;
