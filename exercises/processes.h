// The process exercises: forkscript's seeded scripts, keyed by its rules,
// and the launchers, keyed by their own table; each revealed by a run under
// proctrace beside the key. Their rows are in the table with the others.
#pragma once

#include <cstdint>
#include <string>

#include "exercise.h"

std::string tree_question(std::uint64_t seed);
std::string tree_key(std::uint64_t seed);
grade tree_check(std::uint64_t seed, const std::string& answer);
int tree_reveal(std::uint64_t seed);

std::string reaper_question(std::uint64_t seed);
std::string reaper_key(std::uint64_t seed);
grade reaper_check(std::uint64_t seed, const std::string& answer);
int reaper_reveal(std::uint64_t seed);

std::string orphans_question(std::uint64_t seed);
std::string orphans_key(std::uint64_t seed);
grade orphans_check(std::uint64_t seed, const std::string& answer);
int orphans_reveal(std::uint64_t seed);

std::string launcher_question(std::uint64_t seed);
std::string launcher_key(std::uint64_t seed);
grade launcher_check(std::uint64_t seed, const std::string& answer);
int launcher_reveal(std::uint64_t seed);
