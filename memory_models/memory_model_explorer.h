// Every execution of a small program of threads, under one of three memory
// models. The program is ordinary code, such as the lock's enter_region, run
// on model_cells instead of std::atomic: the explorer runs each thread up to
// its next access again and again, deciding at each step which thread moves,
// which write a load reads, where a store lands and, under x86-TSO, when a
// store buffer drains, until every choice the model allows has been made.
//
// An execution is one distinct outcome of those choices: which write each
// load read, and the order of the writes to each variable. A thread that goes
// round a loop of loads and reads the same writes as on its previous pass
// has learnt nothing, and would do the same again for ever: that pass is cut.
// So a spinning thread must read something new to go on, and the exploration
// ends. (This takes a thread's state to be its place in the code and what its
// loads returned, which holds for loops that keep no count of their own.) A
// fence in such a loop is part of the pass; a read-modify-write writes, so a
// loop that spins on one is never cut: its stores run into the explorer's
// limit, and the exploration ends with std::length_error.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum class memory_model {
    // Sequential consistency: the threads' accesses happen one at a time, in
    // some order, each load reading the latest store and each
    // read-modify-write one indivisible step. The orders do not matter, and
    // fences change nothing.
    interleaving,
    // x86 as g++ compiles each order: a release or relaxed store goes into the
    // thread's FIFO store buffer, which drains into memory one store at a time,
    // whenever; a load reads its thread's newest buffered store to that
    // variable, else memory; a seq_cst store (an xchg) waits for an empty
    // buffer and writes memory directly; every load is a plain load. A
    // read-modify-write of any order is a locked instruction: it waits for an
    // empty buffer, then reads and writes memory in one step. A seq_cst fence
    // is an mfence, which waits for an empty buffer; the other fences are no
    // instruction at all.
    x86_tso,
    // The language's release/acquire and relaxed rules, as a view-based
    // operational model: each variable keeps every store made to it, in
    // coherence order; each thread has a view, the latest store of each
    // variable it has seen. A load reads any store not older than its view,
    // and an acquire load of a store that carries a view takes that view on;
    // a release store carries its writer's view; a store may go anywhere
    // after its view, not only last. A read-modify-write reads as a load does,
    // and its store comes straight after the one it read, where no store may
    // ever come between them; it carries the view of the store it read (so a
    // release sequence runs through it, and, as in C++20, only through
    // read-modify-writes, not a later store of the releasing thread), joined
    // with its writer's if it releases. A release fence makes the thread's later relaxed stores carry
    // its view at the fence; an acquire fence takes on the views carried by
    // the stores its earlier loads read; a seq_cst fence does both, and joins
    // and then updates one view shared by all seq_cst fences, which orders
    // them among themselves.
    // Load buffering (two threads each loading what the other stores only
    // after its own load), which the language allows, is left out. A program
    // whose accesses and fences are all seq_cst behaves as under
    // interleaving, which the language guarantees, and is explored so; mixed
    // with weaker orders, a seq_cst access counts as release/acquire here,
    // which allows more than the language does.
    cpp,
};

// A shared 32-bit variable of an explored program, with the load and store
// calls of std::atomic<std::int32_t>, so that code written for the atomic
// runs on it unchanged. The compiler fills in the other arguments with the
// file and line of the call, which tell a program's loads apart: keep two
// loads of one variable off a single line. (std::source_location would say
// it more plainly, but Clang 14 cannot build it from libstdc++'s header.)
struct model_cell {
    const char* name;
    std::int32_t initial;
    int var = 0;   // its number in the exploration

    std::int32_t load(std::memory_order order, const char* file = __builtin_FILE(), int line = __builtin_LINE()) const;
    void store(std::int32_t value, std::memory_order order, const char* file = __builtin_FILE(), int line = __builtin_LINE());
    // The read-modify-writes; fetch_add wraps, as the atomic's does.
    std::int32_t exchange(std::int32_t value, std::memory_order order, const char* file = __builtin_FILE(),
                          int line = __builtin_LINE());
    std::int32_t fetch_add(std::int32_t value, std::memory_order order, const char* file = __builtin_FILE(),
                           int line = __builtin_LINE());
    bool compare_exchange_strong(std::int32_t& expected, std::int32_t desired, std::memory_order order,
                                 const char* file = __builtin_FILE(), int line = __builtin_LINE());
    bool compare_exchange_strong(std::int32_t& expected, std::int32_t desired, std::memory_order success,
                                 std::memory_order failure, const char* file = __builtin_FILE(), int line = __builtin_LINE());
};

// std::atomic_thread_fence, for an explored program.
void model_fence(std::memory_order order, const char* file = __builtin_FILE(), int line = __builtin_LINE());

// Called by a thread of the explored program when it enters its critical
// section; it is inside until its next access.
void model_inside();

struct exploration {
    std::int64_t executions = 0;
    // Executions in which two threads were inside at the same moment.
    std::int64_t both_inside = 0;
    // Executions whose end is wanted, when an end is wanted.
    std::int64_t wanted = 0;
    // For each execution, the values each thread's loads returned, thread by
    // thread, then each cell's final value; sorted, without repeats.
    std::vector<std::vector<std::int32_t>> outcomes;
    // The shortest run into two threads inside at once, or to an end that
    // is wanted, a step a line; empty when there is none.
    std::vector<std::string> witness;
};

// The most states one exploration visits before it gives up, and the most
// memory it keeps of them.
constexpr std::int64_t max_states = 4'000'000;
constexpr std::int64_t max_state_bytes = 256'000'000;
// The most threads it runs.
constexpr std::int32_t max_threads = 15;

// Which ends of a run are wanted: given an outcome, as exploration.outcomes
// holds them, whether it is one.
using wanted_end = std::function<bool(const std::vector<std::int32_t>& outcome)>;

// Explores every execution of THREADS threads, each running PROGRAM with its
// own number, on CELLS, under MODEL. The witness is of two threads inside at
// once, or, when WANTED is given, of an end it wants. Throws std::bad_alloc
// when memory runs out, and std::length_error when a thread makes more than
// 16 stores (read-modify-writes included), when the exploration passes
// max_states states or max_state_bytes bytes of them, or for more than
// max_threads threads.
exploration explore(memory_model model, void (*program)(std::int32_t self), std::int32_t threads,
                    const std::vector<model_cell*>& cells, const wanted_end& wanted = {});

// The same exploration by the plainest search there is: every order of
// steps, each path followed to its end, no state known again when met
// twice, none left out; no witness. It takes as long as there are paths, so
// it is for small programs only: the tests check that explore() finds what
// this does. Throws as explore() does, counting steps for states.
exploration explore_every_path(memory_model model, void (*program)(std::int32_t self), std::int32_t threads,
                               const std::vector<model_cell*>& cells, const wanted_end& wanted = {});
