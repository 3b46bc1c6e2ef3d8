// One exploration, timed: the lock for some rounds, or a four-thread litmus
// test, under one model. Built twice by compare.sh, once with the explorer
// of the tree and once with an older one, so that both are measured alike.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "litmus_programs.h"
#include "lock_programs.h"

namespace {

template <int rounds>
void rounds_of(std::int32_t self)
{
    for (int r = 0; r < rounds; r++) {
        enter_region<std::memory_order_acq_rel, flags, turns>(self);
        model_inside();
        leave_region<std::memory_order_acq_rel, flags>(self);
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        static_cast<void>(std::fprintf(stderr, "usage: speed lock1|lock2|lock3|iriw|iriw+fences interleaving|x86-TSO|C++\n"));
        return 2;
    }
    const std::string what = argv[1];
    const std::string name = argv[2];
    memory_model model = memory_model::interleaving;
    if (name == "x86-TSO")
        model = memory_model::x86_tso;
    else if (name == "C++")
        model = memory_model::cpp;
    const auto start = std::chrono::steady_clock::now();
    exploration e;
    void (*lock)(std::int32_t) = what == "lock1" ? rounds_of<1> : what == "lock2" ? rounds_of<2> : rounds_of<3>;
    try {
        if (what.starts_with("lock")) {
            e = explore(model, lock, 2, {&flags[0], &flags[1], &turns});
        } else {
            // Release stores and acquire loads, as the kit's table has them.
            litmus_order = std::memory_order_acq_rel;
            e = explore(model, what == "iriw" ? iriw<false> : iriw<true>, 4, {&litmus_x, &litmus_y});
        }
    } catch (const std::exception& error) {
        std::printf("%s\n", error.what());
        return 1;
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%lld executions, %lld both in, a witness of %zu steps, %.4f s\n", static_cast<long long>(e.executions),
                static_cast<long long>(e.both_inside), e.witness.size(), took.count());
    return 0;
}
