// libFuzzer's bytes, read as a litmus test's text. A test the reader takes
// has its condition judged on a made-up outcome of the shape the explorer
// would give it; nothing is explored. A refusal must point into the text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "litmus_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto got = read_test(text);
    if (const refusal* no = std::get_if<refusal>(&got)) {
        const auto lines = std::count(text.begin(), text.end(), '\n') + 1;
        if (no->line < 1 || no->line > lines || no->what.empty())
            __builtin_trap();
        return 0;
    }
    const litmus_test& t = std::get<litmus_test>(got);
    std::size_t values = t.vars.size();
    std::size_t registers = 0;
    for (const litmus_thread& th : t.threads) {
        values += static_cast<std::size_t>(values_of(th));
        registers += th.registers.size();
    }
    // Any value may come back from a load: take them from the bytes themselves.
    std::vector<std::int32_t> outcome(values);
    for (std::size_t i = 0; i < values; i++)
        outcome[i] = static_cast<std::int32_t>(data[i % size]) - 128;
    const std::vector<std::int32_t> state = final_state(t, outcome);
    if (state.size() != registers + t.vars.size() || t.prop.empty() || t.condition.empty())
        __builtin_trap();
    static_cast<void>(holds(t, state));
    static_cast<void>(state_text(t, state));
    return 0;
}
