// litmus: the tests the memory-model literature publishes, in their C form,
// explored in every execution under interleaving, x86-TSO and the language's
// own rules. For each model: how many executions and final states there are,
// and whether the condition's proposition holds never, sometimes or always.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "fail.h"
#include "litmus_reader.h"

namespace {

const char* const usage = "usage: litmus [--states] [--witness] FILE...";

// The file's text, or false after saying why it cannot be read.
bool read_file(const char* path, std::string& text)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        static_cast<void>(fail("open", errno, path));
        return false;
    }
    std::array<char, 65536> buf{};
    ssize_t got = 0;
    while ((got = read(fd, buf.data(), buf.size())) > 0)
        text.append(buf.data(), static_cast<std::size_t>(got));
    const int err = errno;
    close(fd);
    if (got < 0)
        static_cast<void>(fail("read", err, path));
    return got == 0;
}

const char* plural(long long n, const char* one, const char* many)
{
    return n == 1 ? one : many;
}

void show(const litmus_test& t, const model_name& m, const exploration& e, bool states, bool witness)
{
    std::vector<std::vector<std::int32_t>> finals(e.outcomes.size());
    std::transform(e.outcomes.begin(), e.outcomes.end(), finals.begin(), [&t](const auto& outcome) { return final_state(t, outcome); });
    std::sort(finals.begin(), finals.end());
    finals.erase(std::unique(finals.begin(), finals.end()), finals.end());
    const long long n = e.executions;
    const long long k = e.wanted;
    const long long distinct = static_cast<long long>(finals.size());
    std::printf("%s: %lld %s, %lld final %s, ", m.name, n, plural(n, "execution", "executions"), distinct, plural(distinct, "state", "states"));
    if (k == 0 || k == n)
        std::puts(k == 0 ? "never" : "always");
    else
        std::printf("sometimes (%lld of %lld executions)\n", k, n);
    for (std::size_t i = 0; states && i < finals.size(); i++)
        std::printf("  %s%s\n", state_text(t, finals[i]).c_str(), holds(t, finals[i]) ? " *" : "");
    if (!witness)
        return;
    if (k == 0) {
        std::printf("%s: no execution meets the proposition\n", m.name);
        return;
    }
    std::printf("%s: the shortest execution that meets the proposition\n", m.name);
    int step = 0;
    for (const std::string& line : e.witness)
        std::printf("%3d. %s\n", ++step, line.c_str());
}

// Explores and shows the test in PATH; false when it cannot.
bool litmus(const char* path, bool states, bool witness, bool first)
{
    std::string text;
    if (!read_file(path, text))
        return false;
    const auto got = read_test(text);
    if (const refusal* no = std::get_if<refusal>(&got)) {
        static_cast<void>(std::fprintf(stderr, "litmus: %s:%d: %s\n", path, no->line, no->what.c_str()));
        return false;
    }
    const litmus_test& t = std::get<litmus_test>(got);
    std::vector<exploration> found;
    for (const model_name& m : litmus_models) {
        try {
            found.push_back(explore_test(t, m.model));
        } catch (const std::length_error& e) {
            static_cast<void>(std::fprintf(stderr, "litmus: %s: under %s, %s\n", path, m.name, e.what()));
            return false;
        } catch (const std::bad_alloc&) {
            static_cast<void>(fail(path, ENOMEM));
            return false;
        }
    }
    std::printf("%s%s (%s): %s\n", first ? "" : "\n", t.name.c_str(), path, t.condition.c_str());
    for (std::size_t i = 0; i < found.size(); i++)
        show(t, litmus_models[i], found[i], states, witness);
    return true;
}

int run(int argc, char** argv)
{
    bool states = false;
    bool witness = false;
    std::vector<const char*> files;
    bool options = true;
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (options && arg == "--help") {
            std::puts(usage);
            return flush_output();
        }
        if (options && (arg == "--states" || arg == "--witness")) {
            (arg == "--states" ? states : witness) = true;
        } else if (options && arg == "--") {
            options = false;
        } else if (options && arg.size() > 1 && arg[0] == '-') {
            static_cast<void>(std::fprintf(stderr, "%s\n", usage));
            return 2;
        } else {
            files.push_back(argv[i]);
        }
    }
    if (files.empty()) {
        static_cast<void>(std::fprintf(stderr, "%s\n", usage));
        return 2;
    }
    int status = 0;
    bool first = true;
    for (const char* path : files) {
        if (litmus(path, states, witness, first))
            first = false;
        else
            status = 2;
    }
    return flush_output() != 0 ? 1 : status;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        return fail("malloc", ENOMEM);
    } catch (const std::exception& e) {
        static_cast<void>(std::fprintf(stderr, "litmus: %s\n", e.what()));
        return 2;
    }
}
