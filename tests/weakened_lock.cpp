// Stands in for the explorer in a deliberately broken lockmodel: the lock
// with seq_cst accesses is explored as the release/acquire one, which lockmodel
// must then find letting both threads in and call broken.
// The build renames lockmodel's calls of explore to this; here, explore is the explorer's.
#undef explore
#include "lock_programs.h"

exploration weakened_explore(memory_model model, void (*program)(std::int32_t self), std::int32_t threads,
                             const std::vector<model_cell*>& cells, const wanted_end& wanted)
{
    if (program == one_round<std::memory_order_seq_cst>)
        program = one_round<std::memory_order_acq_rel>;
    return explore(model, program, threads, cells, wanted);
}
