// What every exercise shares: seeds, reading answers, and running the kit's
// programs for a reveal.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "exercise.h"
#include "fail.h"

std::uint64_t next_random(std::uint64_t& state)
{
    state += 0x9e3779b97f4a7c15U;
    std::uint64_t z = state;
    z = (z ^ (z >> 30U)) * 0xbf58476d1ce4e5b9U;
    z = (z ^ (z >> 27U)) * 0x94d049bb133111ebU;
    return z ^ (z >> 31U);
}

std::int64_t pick(std::uint64_t& state, std::int64_t low, std::int64_t high)
{
    // The ranges drawn from are tiny beside 2^64: the remainder's bias is
    // far below anything a class could notice.
    const auto span = static_cast<std::uint64_t>(high - low) + 1;
    return low + static_cast<std::int64_t>(next_random(state) % span);
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the name, then the id, in the order the golden seeds pin
std::uint64_t student_seed(const std::string& name, const std::string& id)
{
    // FNV-1a over the name's bytes, a zero byte, and the exercise's id: a
    // hash defined byte by byte, where std::hash may differ between
    // libraries and versions.
    std::uint64_t h = 0xcbf29ce484222325U;
    const auto mix = [&h](unsigned char c) { h = (h ^ c) * 0x100000001b3U; };
    for (const char c : name)
        mix(static_cast<unsigned char>(c));
    mix(0);
    for (const char c : id)
        mix(static_cast<unsigned char>(c));
    return h;
}

std::string unreadable(const exercise& e, const grade& g)
{
    return "the answer is " + std::string(e.form) + (g.why.empty() ? "" : "; " + g.why);
}

namespace {

bool separator(char c)
{
    return c == ',' || std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Reads an optionally signed whole number of any size at text[at], moving
// AT past it, and gives it as to_string would: no plus sign, no leading
// zeros, and 0 never negative.
std::optional<std::string> number_at(const std::string& text, std::size_t& at)
{
    const bool negative = at < text.size() && text[at] == '-';
    if (at < text.size() && (text[at] == '-' || text[at] == '+'))
        at++;
    const std::size_t first = at;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) != 0)
        at++;
    if (at == first)
        return std::nullopt;
    const std::size_t nonzero = std::min(text.find_first_not_of('0', first), at - 1);
    std::string n = text.substr(nonzero, at - nonzero);
    return negative && n != "0" ? "-" + n : n;
}

// A range's end as a 64-bit number; nothing beyond.
std::optional<std::int64_t> end_of(const std::string& n)
{
    errno = 0;
    const long long v = std::strtoll(n.c_str(), nullptr, 10);
    if (errno == ERANGE)
        return std::nullopt;
    return v;
}

} // namespace

std::optional<std::vector<std::string>> numbers_in(const std::string& answer)
{
    std::vector<std::string> numbers;
    std::size_t at = 0;
    while (true) {
        while (at < answer.size() && separator(answer[at]))
            at++;
        if (at == answer.size())
            break;
        const auto first = number_at(answer, at);
        if (!first)
            return std::nullopt;
        if (answer.compare(at, 2, "..") == 0) {
            at += 2;
            const auto last = number_at(answer, at);
            const auto low = end_of(*first);
            const auto high = last ? end_of(*last) : std::nullopt;
            if (!low || !high || *high < *low)
                return std::nullopt;
            // Unsigned, as the ends may be the whole 64-bit range apart, and
            // a count up to the top one must not step past it.
            const std::uint64_t span = static_cast<std::uint64_t>(*high) - static_cast<std::uint64_t>(*low);
            if (span >= most_in_range)
                return std::nullopt;
            for (std::uint64_t i = 0; i <= span; i++)
                numbers.push_back(std::to_string(static_cast<std::int64_t>(static_cast<std::uint64_t>(*low) + i)));
        } else {
            numbers.push_back(*first);
        }
        if ((at < answer.size() && !separator(answer[at])) || numbers.size() > most_in_range)
            return std::nullopt;
    }
    if (numbers.empty())
        return std::nullopt;
    return numbers;
}

std::optional<std::string> letters_in(const std::string& answer)
{
    std::string letters;
    for (const char c : answer) {
        if (std::isalpha(static_cast<unsigned char>(c)) != 0)
            letters += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        else if (!separator(c))
            return std::nullopt;
    }
    if (letters.empty())
        return std::nullopt;
    return letters;
}

std::string word_in(const std::string& answer)
{
    const auto first = std::find_if_not(answer.begin(), answer.end(), separator);
    const auto last = std::find_if_not(answer.rbegin(), answer.rend(), separator).base();
    std::string word = first < last ? std::string(first, last) : std::string();
    for (char& c : word)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return word;
}

grade compare_sets(const std::vector<std::string>& key, const std::vector<std::string>& answer, const char* item)
{
    const auto missing = std::find_if(key.begin(), key.end(),
                                      [&](const std::string& k) { return std::find(answer.begin(), answer.end(), k) == answer.end(); });
    const auto extra = std::find_if(answer.begin(), answer.end(),
                                    [&](const std::string& a) { return std::find(key.begin(), key.end(), a) == key.end(); });
    std::string why;
    if (missing != key.end())
        why = "it leaves out " + std::string(item) + " " + *missing + ", which a run can give";
    if (extra != answer.end())
        why += (why.empty() ? "it has " : "; and it has ") + std::string(item) + " " + *extra + ", which no run can give";
    if (why.empty())
        return {grade::right, ""};
    return {grade::wrong, why};
}

namespace {

// The folder predict was run from, where the kit's other programs are.
std::string own_folder()
{
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    path[n] = '\0';
    char* slash = std::strrchr(path, '/');
    if (slash != nullptr)
        *slash = '\0';
    return path;
}

} // namespace

std::string kit_program(const char* name)
{
    static const std::string folder = own_folder();
    return folder + "/" + name;
}

std::optional<std::string> run_program(const char* name, const std::string& input, const program_run& how)
{
    const std::string path = kit_program(name);
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        fail("pipe2", errno);
        return std::nullopt;
    }
    if (pipe2(out, O_CLOEXEC) != 0) {
        fail("pipe2", errno);
        close(in[0]);
        close(in[1]);
        return std::nullopt;
    }
    // glibc's inits only clear the structures: they cannot fail.
    posix_spawn_file_actions_t actions;
    static_cast<void>(posix_spawn_file_actions_init(&actions));
    posix_spawnattr_t attr;
    static_cast<void>(posix_spawnattr_init(&attr));
    // predict ignores SIGPIPE, so that a program that ends before reading
    // its input cannot kill it; the program itself gets the usual action.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    const char* call = "posix_spawn_file_actions_adddup2";
    int err = posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    if (err == 0)
        err = posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (err == 0) {
        call = "posix_spawnattr_setsigdefault";
        err = posix_spawnattr_setsigdefault(&attr, &pipe_signal);
    }
    if (err == 0) {
        call = "posix_spawnattr_setflags";
        err = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    }
    pid_t child = -1;
    // exec's arguments are char*, though it writes to none of them.
    std::vector<char*> argv(how.args.size() + 2, nullptr);
    argv[0] = const_cast<char*>(name);
    std::transform(how.args.begin(), how.args.end(), argv.begin() + 1, [](const std::string& a) { return const_cast<char*>(a.c_str()); });
    // predict's environment, with HOW's entries in place of those of the same name.
    std::vector<std::string> entries;
    for (char** e = environ; *e != nullptr; e++) {
        const std::string entry = *e;
        const auto replaced = [&entry](const std::string& mine) { return mine.substr(0, mine.find('=') + 1) == entry.substr(0, entry.find('=') + 1); };
        if (std::none_of(how.env.begin(), how.env.end(), replaced))
            entries.push_back(entry);
    }
    entries.insert(entries.end(), how.env.begin(), how.env.end());
    std::vector<char*> envp(entries.size() + 1, nullptr);
    std::transform(entries.begin(), entries.end(), envp.begin(), [](std::string& e) { return e.data(); });
    if (err == 0 && !how.dir.empty()) {
        call = "posix_spawn_file_actions_addchdir_np";
        err = posix_spawn_file_actions_addchdir_np(&actions, how.dir.c_str());
    }
    if (err == 0) {
        call = "posix_spawn";
        err = posix_spawn(&child, path.c_str(), &actions, &attr, argv.data(), envp.data());
    }
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    // The input is a line or two, far less than a pipe holds: it never blocks.
    bool written = err != 0 || write(in[1], input.data(), input.size()) == static_cast<ssize_t>(input.size());
    const int write_err = errno;
    close(in[1]);
    std::string printed;
    char buf[4096];
    ssize_t got = 0;
    while (err == 0 && (got = read(out[0], buf, sizeof buf)) != 0) {
        if (got > 0)
            printed.append(buf, static_cast<std::size_t>(got));
        else if (errno != EINTR)
            break;
    }
    const int read_err = errno;
    close(out[0]);
    if (err != 0) {
        fail(call, err, path.c_str());
        return std::nullopt;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            fail("waitpid", errno);
            return std::nullopt;
        }
    }
    if (!written) {
        fail("write", write_err, path.c_str());
        return std::nullopt;
    }
    if (got < 0) {
        fail("read", read_err, path.c_str());
        return std::nullopt;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        static_cast<void>(std::fprintf(stderr, "%s: %s did not exit with status 0\n", program_invocation_short_name, path.c_str()));
        return std::nullopt;
    }
    return printed;
}
