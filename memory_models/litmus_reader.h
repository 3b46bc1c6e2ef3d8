// Litmus tests in the C format of the memory-model literature (herdtools7's
// "C" tests), read into plain data and run on the explorer's cells. Only
// straight-line code of atomic accesses is read: what the explorer can run
// and replay. Anything else is refused with the line it is on, so that a
// learner is never shown a verdict about a program other than the one
// written.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "memory_model_explorer.h"

enum class op : std::uint8_t { set, load, store, exchange, fetch_add, fetch_sub, cas, fence };

// A constant, or the value a register holds when the instruction runs.
struct operand {
    std::int32_t value = 0;
    int reg = -1;   // a register of the thread, or -1 for the constant
};

struct instruction {
    op kind = op::set;
    int var = -1;                 // the variable accessed
    operand value{};              // what a store or read-modify-write writes; what set copies
    operand addend{};             // set: added to the value, or taken from it when `minus`
    bool minus = false;
    int expected = -1;            // cas: the register holding the expected value
    int target = -1;              // the register given the result, or -1
    std::memory_order order = std::memory_order_seq_cst;
    std::memory_order failure = std::memory_order_seq_cst;   // cas
};

struct litmus_thread {
    std::vector<std::string> registers;
    std::vector<instruction> code;
};

// The condition's proposition, as a tree whose nodes point at one another
// by their place in litmus_test::prop.
struct prop_node {
    enum kind_t : std::uint8_t { reg, var, negation, conjunction, disjunction, truth, falsity } kind = truth;
    int at = -1;                  // reg, var: its place in a final state
    std::int32_t value = 0;       // reg, var: the value it is compared with
    int left = -1;
    int right = -1;
};

struct litmus_test {
    std::string name;
    std::vector<std::string> vars;
    std::vector<std::int32_t> initial;
    std::vector<litmus_thread> threads;
    enum quantifier_t : std::uint8_t { exists, not_exists, forall } quantifier = exists;
    std::vector<prop_node> prop;  // the root is the last node
    std::string condition;        // as written, its spaces made single
};

struct refusal {
    int line = 0;
    std::string what;
};

// The test TEXT holds, or the first thing in it that is not understood.
std::variant<litmus_test, refusal> read_test(const std::string& text);

// How many values each thread's accesses return in an outcome.
int values_of(const litmus_thread& thread);

// The registers of every thread, thread by thread, then the variables: the
// final state of an execution whose outcome, as the explorer gives it, is
// OUTCOME.
std::vector<std::int32_t> final_state(const litmus_test& t, const std::vector<std::int32_t>& outcome);

// Whether the proposition holds in STATE, a final state.
bool holds(const litmus_test& t, const std::vector<std::int32_t>& state);

// STATE as a line of "0:r0=1; x=1;" entries.
std::string state_text(const litmus_test& t, const std::vector<std::int32_t>& state);

// Every execution of T under MODEL; `wanted` counts those whose end meets
// the proposition, and the witness is the shortest of them. Throws as
// explore() does. PLAINLY, by explore_every_path() instead.
exploration explore_test(const litmus_test& t, memory_model model, bool plainly = false);

struct model_name {
    memory_model model;
    const char* name;
};
inline constexpr model_name litmus_models[] = {
    {memory_model::interleaving, "interleaving"}, {memory_model::x86_tso, "x86-TSO"}, {memory_model::cpp, "C++"}};
