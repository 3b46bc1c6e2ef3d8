// Stands in for the explorer's fence in a deliberately broken lockmodel,
// which must then find the fenced lock failing and say so.
#include <atomic>

void ignored_fence(std::memory_order /*order*/, const char* /*file*/, int /*line*/) {}
