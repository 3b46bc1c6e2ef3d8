// lockmodel: why Peterson's lock needs sequentially consistent accesses, that
// they are enough, and what repairs the release/acquire lock. The lock's own
// code runs for two threads, one round each, and every execution each memory
// model allows is explored: under x86-TSO and the language's rules the weaker
// orders let both threads in, and the shortest such runs are shown a step at
// a time.
#include <cerrno>
#include <cstdio>
#include <new>
#include <stdexcept>

#include "fail.h"
#include "lock_programs.h"

void show_witness(const exploration& e, const char* model, const char* variant)
{
    std::printf("\n%s, %s: ", model, variant);
    if (e.witness.empty()) {
        std::puts("no execution lets both threads in");
        return;
    }
    std::puts("the shortest execution that lets both threads in");
    int n = 0;
    for (const std::string& line : e.witness)
        std::printf("%3d. %s\n", ++n, line.c_str());
}

int main()
{
    exploration found[model_count][order_count];
    exploration repaired[repair_count][2];
    try {
        for (int m = 0; m < model_count; m++) {
            for (int o = 0; o < order_count; o++)
                found[m][o] = explore(models[m].model, orders[o].program, 2, {&flags[0], &flags[1], &turns});
        }
        for (int r = 0; r < repair_count; r++) {
            for (int m = 1; m < model_count; m++)
                repaired[r][m - 1] = explore(models[m].model, repairs[r].program, 2, {&flags[0], &flags[1], &turns});
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
    std::puts("\nRepairs of the release/acquire lock: every execution, by memory model");
    for (int r = 0; r < repair_count; r++) {
        for (int m = 1; m < model_count; m++)
            std::printf("%s, %s: %lld executions, %lld let both threads in\n", repairs[r].name, models[m].name,
                        static_cast<long long>(repaired[r][m - 1].executions),
                        static_cast<long long>(repaired[r][m - 1].both_inside));
    }
    // How both threads get in, where the hardware and the language let them:
    // release/acquire under each model after interleaving, then any repair
    // that a model lets fail.
    for (int m = 1; m < model_count; m++)
        show_witness(found[m][1], models[m].name, orders[1].name);
    for (int r = 0; r < repair_count; r++) {
        for (int m = 1; m < model_count; m++) {
            if (!repaired[r][m - 1].witness.empty())
                show_witness(repaired[r][m - 1], models[m].name, repairs[r].name);
        }
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
    for (int r = 0; r < repair_count && status == 0; r++) {
        for (int m = 1; m < model_count && status == 0; m++) {
            if (repairs[r].must_hold[m - 1] && repaired[r][m - 1].both_inside != 0) {
                static_cast<void>(std::fprintf(stderr, "%s: under %s with the %s, the lock let both threads in: it is broken\n",
                                               program_invocation_short_name, models[m].name, repairs[r].name));
                status = 1;
            }
        }
    }
    return status;
}
