// lockmodel: why Peterson's lock needs sequentially consistent accesses, and
// that they are enough. The lock's own code runs for two threads, one round
// each, and every execution each memory model allows is explored: under
// x86-TSO and the language's rules the weaker orders let both threads in, and
// the shortest such runs are shown a step at a time.
#include <cerrno>
#include <cstdio>
#include <new>
#include <stdexcept>

#include "fail.h"
#include "memory_model_explorer.h"
#include "turn_lock.h"

// The lock's shared variables, as the explorer runs them.
model_cell flags[2] = {{"flag[0]", 0}, {"flag[1]", 0}};
model_cell turns{"turn", 0};

template <std::memory_order order>
void one_round(std::int32_t self)
{
    enter_region<order, flags, turns>(self);
    model_inside();
    leave_region<order, flags>(self);
}

struct row {
    const char* model_name;
    memory_model model;
    const char* order_name;
    void (*program)(std::int32_t);
};

constexpr row rows[] = {
    {"interleaving", memory_model::interleaving, "seq_cst", one_round<std::memory_order_seq_cst>},
    {"interleaving", memory_model::interleaving, "release/acquire", one_round<std::memory_order_acq_rel>},
    {"interleaving", memory_model::interleaving, "relaxed", one_round<std::memory_order_relaxed>},
    {"x86-TSO", memory_model::x86_tso, "seq_cst", one_round<std::memory_order_seq_cst>},
    {"x86-TSO", memory_model::x86_tso, "release/acquire", one_round<std::memory_order_acq_rel>},
    {"x86-TSO", memory_model::x86_tso, "relaxed", one_round<std::memory_order_relaxed>},
    {"C++", memory_model::cpp, "seq_cst", one_round<std::memory_order_seq_cst>},
    {"C++", memory_model::cpp, "release/acquire", one_round<std::memory_order_acq_rel>},
    {"C++", memory_model::cpp, "relaxed", one_round<std::memory_order_relaxed>},
};
constexpr int row_count = sizeof rows / sizeof rows[0];

// Where the lock must keep the threads apart: with every order under
// interleaving, and with seq_cst under every model.
bool must_hold(const row& r)
{
    return r.model == memory_model::interleaving || r.program == one_round<std::memory_order_seq_cst>;
}

// Whose shortest run into both threads inside is shown.
bool shown(const row& r)
{
    return r.model != memory_model::interleaving && r.program == one_round<std::memory_order_acq_rel>;
}

int main()
{
    exploration found[row_count];
    try {
        for (int i = 0; i < row_count; i++)
            found[i] = explore(rows[i].model, rows[i].program, 2, {&flags[0], &flags[1], &turns});
    } catch (const std::bad_alloc&) {
        return fail("malloc", ENOMEM);
    }

    std::puts("Peterson's lock, 2 threads, 1 round each: every execution, by memory model and order");
    for (int i = 0; i < row_count; i++)
        std::printf("%s, %s: %lld executions, %lld let both threads in\n", rows[i].model_name, rows[i].order_name,
                    static_cast<long long>(found[i].executions), static_cast<long long>(found[i].both_inside));
    for (int i = 0; i < row_count; i++) {
        if (!shown(rows[i]))
            continue;
        std::printf("\n%s, %s: ", rows[i].model_name, rows[i].order_name);
        if (found[i].witness.empty()) {
            std::puts("no execution lets both threads in");
            continue;
        }
        std::puts("the shortest execution that lets both threads in");
        int n = 0;
        for (const std::string& line : found[i].witness)
            std::printf("%3d. %s\n", ++n, line.c_str());
    }
    int status = flush_output();
    for (int i = 0; i < row_count && status == 0; i++) {
        if (must_hold(rows[i]) && found[i].both_inside != 0) {
            // Nowhere to report a failed write of this line either.
            static_cast<void>(std::fprintf(stderr, "%s: under %s with %s, the lock let both threads in: it is broken\n",
                                           program_invocation_short_name, rows[i].model_name, rows[i].order_name));
            status = 1;
        }
    }
    return status;
}
