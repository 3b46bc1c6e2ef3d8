// racetrace's record of a race, and the walk back through it that tells the
// steps that count from the steps that were lost.
//
// Every write to the shared word carries a tag naming the step that made it,
// and every step logs the tag of the write it read. Each write was computed
// from exactly one earlier write, so following the tags back from the final
// write gives the one chain of steps that the final count is made of.
#pragma once

#include <cstdint>

// The four workers, T1 to T4, are numbered 0 to 3 here; their steps from 1.
// Tag 0 names the starting value; no step makes it.
constexpr std::uint32_t workers = 4;

constexpr std::uint32_t tag_of(std::uint32_t worker, std::uint32_t step)
{
    return (step - 1) * workers + worker + 1;
}

constexpr std::uint32_t worker_of(std::uint32_t tag)
{
    return (tag - 1) % workers;
}

constexpr std::uint32_t step_of(std::uint32_t tag)
{
    return (tag - 1) / workers + 1;
}

// The shared word: the tag of the last write in its high half, the count in
// its low half.
constexpr std::uint64_t packed(std::uint32_t tag, std::uint32_t value)
{
    return std::uint64_t{tag} << 32 | value;
}

constexpr std::uint32_t tag_in(std::uint64_t word)
{
    return static_cast<std::uint32_t>(word >> 32);
}

constexpr std::uint32_t value_in(std::uint64_t word)
{
    return static_cast<std::uint32_t>(word);
}

// T1 and T3 step down, T2 and T4 up.
constexpr bool steps_up(std::uint32_t worker)
{
    return worker % 2 == 1;
}

// What one step of WORKER adds to the count, wrapping: 1 or -1.
constexpr std::uint32_t step_by(std::uint32_t worker)
{
    return steps_up(worker) ? 1U : UINT32_MAX;
}

// What the walk back found.
struct chain {
    std::uint32_t up = 0;           // steps that count, each way
    std::uint32_t down = 0;
    // The earliest write on the chain that a lost step read too, unless no
    // step was lost: the tags of that lost step's write, of the write both
    // read, and of the write of the step that counts after it.
    bool lost = false;
    std::uint32_t lost_step = 0;
    std::uint32_t read = 0;
    std::uint32_t kept_step = 0;
    std::uint32_t read_value = 0;   // the value both read
};

// READS[w][k - 1] is the tag that step k of worker w read; each worker made
// STEPS steps, and LAST is the shared word as the last write left it. PLACE
// is scratch room for workers * STEPS + 1 entries.
inline chain walk_back(const std::uint32_t* const reads[workers], std::uint32_t steps, std::uint32_t* place,
                       std::uint64_t last)
{
    const std::uint32_t final = tag_in(last);
    auto read_by = [reads](std::uint32_t t) { return reads[worker_of(t)][step_of(t) - 1]; };
    // place[t]: 1 for the final write, 2 for the one before it on the chain,
    // and so on; 0 for a write off the chain.
    for (std::uint32_t t = 0; t < workers * steps + 1; t++)
        place[t] = 0;
    chain c;
    // A log that names a write twice on the way back is corrupt; stop there
    // rather than go round for ever.
    std::uint32_t t = final;
    for (std::uint32_t n = 1; place[t] == 0; n++) {
        place[t] = n;
        if (t == 0)
            break;
        (steps_up(worker_of(t)) ? c.up : c.down)++;
        t = read_by(t);
    }
    // A lost step that read a write on the chain is where a branch left it;
    // the earliest such write stands furthest from the end.
    for (std::uint32_t w = 0; w < workers; w++) {
        for (std::uint32_t k = 1; k <= steps; k++) {
            const std::uint32_t read = reads[w][k - 1];
            if (place[tag_of(w, k)] == 0 && place[read] > (c.lost ? place[c.read] : 0)) {
                c.lost = true;
                c.lost_step = tag_of(w, k);
                c.read = read;
            }
        }
    }
    if (!c.lost)
        return c;
    // Back once more, as far as that write, undoing each step to learn its value.
    c.read_value = value_in(last);
    for (t = final; t != c.read; t = read_by(t)) {
        c.kept_step = t;
        c.read_value -= step_by(worker_of(t));
    }
    return c;
}
