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

struct model_choice {
    const char* name;
    memory_model model;
};

struct order_choice {
    const char* name;
    std::memory_order order;
    void (*program)(std::int32_t);
};

constexpr model_choice models[] = {
    {"interleaving", memory_model::interleaving},
    {"x86-TSO", memory_model::x86_tso},
    {"C++", memory_model::cpp},
};
constexpr order_choice orders[] = {
    {"seq_cst", std::memory_order_seq_cst, one_round<std::memory_order_seq_cst>},
    {"release/acquire", std::memory_order_acq_rel, one_round<std::memory_order_acq_rel>},
    {"relaxed", std::memory_order_relaxed, one_round<std::memory_order_relaxed>},
};
constexpr int model_count = sizeof models / sizeof models[0];
constexpr int order_count = sizeof orders / sizeof orders[0];

int main()
{
    exploration found[model_count][order_count];
    try {
        for (int m = 0; m < model_count; m++) {
            for (int o = 0; o < order_count; o++)
                found[m][o] = explore(models[m].model, orders[o].program, 2, {&flags[0], &flags[1], &turns});
        }
    } catch (const std::bad_alloc&) {
        return fail("malloc", ENOMEM);
    }

    std::puts("Peterson's lock, 2 threads, 1 round each: every execution, by memory model and order");
    for (int m = 0; m < model_count; m++) {
        for (int o = 0; o < order_count; o++)
            std::printf("%s, %s: %lld executions, %lld let both threads in\n", models[m].name, orders[o].name,
                        static_cast<long long>(found[m][o].executions), static_cast<long long>(found[m][o].both_inside));
    }
    // How both threads get in, where the hardware and the language let them:
    // release/acquire under each model after interleaving.
    for (int m = 1; m < model_count; m++) {
        const exploration& e = found[m][1];
        std::printf("\n%s, %s: ", models[m].name, orders[1].name);
        if (e.witness.empty()) {
            std::puts("no execution lets both threads in");
            continue;
        }
        std::puts("the shortest execution that lets both threads in");
        int n = 0;
        for (const std::string& line : e.witness)
            std::printf("%3d. %s\n", ++n, line.c_str());
    }
    int status = flush_output();
    for (int m = 0; m < model_count && status == 0; m++) {
        for (int o = 0; o < order_count && status == 0; o++) {
            // The lock must keep the threads apart with every order under
            // interleaving, and with seq_cst under every model.
            const bool must_hold = models[m].model == memory_model::interleaving || orders[o].order == std::memory_order_seq_cst;
            if (must_hold && found[m][o].both_inside != 0) {
                // Nowhere to report a failed write of this line either.
                static_cast<void>(std::fprintf(stderr, "%s: under %s with %s, the lock let both threads in: it is broken\n",
                                               program_invocation_short_name, models[m].name, orders[o].name));
                status = 1;
            }
        }
    }
    return status;
}
