// The exercises, one block each, then their table. A question is drawn from
// the seed afresh by every function that needs it, so that the question, the
// key and the reveal always agree; each key comes from the code the kit runs.
#include <sys/utsname.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>

#include "counter.h"
#include "exercise.h"
#include "fail.h"
#include "litmus_programs.h"
#include "lock_programs.h"
#include "powers.h"
#include "processes.h"

namespace {

std::string printed(const char* format, auto... args)
{
    char line[512];
    // Every line made here is far shorter than the buffer.
    static_cast<void>(std::snprintf(line, sizeof line, format, args...));
    return line;
}

// Shows a program's output, a line at a time, set off from predict's own words.
void show_output(const std::string& output)
{
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
        std::printf("  | %s\n", line.c_str());
}

// Runs the kit's program NAME given N, and shows what it printed.
std::optional<std::string> run_given(const char* name, std::int32_t n)
{
    auto output = run_program(name, std::to_string(n) + "\n");
    if (output) {
        std::printf("%s, given %d, printed:\n", name, n);
        show_output(*output);
    }
    return output;
}

// An answer that must be exactly COUNT whole numbers.
std::optional<std::vector<std::string>> exactly(const std::string& answer, std::size_t count)
{
    auto numbers = numbers_in(answer);
    if (numbers && numbers->size() != count)
        return std::nullopt;
    return numbers;
}

const char* verdict(bool possible)
{
    return possible ? "sometimes" : "never";
}

grade check_verdict(bool possible, const std::string& answer)
{
    const std::string word = word_in(answer);
    if (word != "never" && word != "sometimes")
        return {grade::unreadable, ""};
    if (word == verdict(possible))
        return {grade::right, ""};
    return {grade::wrong, "it can " + std::string(verdict(possible)) + " happen"};
}

// The key and the check of an exercise whose answer is whether something
// HAPPENS, never or sometimes.
template <bool (*happens)(std::uint64_t)>
std::string verdict_key(std::uint64_t seed)
{
    return verdict(happens(seed));
}

template <bool (*happens)(std::uint64_t)>
grade verdict_check(std::uint64_t seed, const std::string& answer)
{
    return check_verdict(happens(seed), answer);
}

void show_witness(const std::vector<std::string>& witness)
{
    int step = 0;
    for (const std::string& line : witness)
        std::printf("%3d. %s\n", ++step, line.c_str());
}

// factworker: the value it prints, in each region of n.

std::int32_t fact_n(std::uint64_t seed)
{
    switch (pick(seed, 0, 3)) {
    case 0:
        return static_cast<std::int32_t>(pick(seed, -1000, -1));
    case 1:
        return static_cast<std::int32_t>(pick(seed, 0, 20));
    case 2:
        return static_cast<std::int32_t>(pick(seed, 21, 65));
    default:
        return static_cast<std::int32_t>(pick(seed, 66, 100000));
    }
}

std::string fact_question(std::uint64_t seed)
{
    const std::int32_t n = fact_n(seed);
    return printed("factworker reads the number %d; its worker thread computes its factorial as factworker's code does, "
                   "in a 64-bit integer, and hands it back as its thread result. What number does factworker print after "
                   "\"Factorial of %d is: \"?",
                   n, n);
}

std::string fact_key(std::uint64_t seed)
{
    return std::to_string(static_cast<std::int64_t>(factorial_of(fact_n(seed))));
}

grade fact_check(std::uint64_t seed, const std::string& answer)
{
    const auto numbers = exactly(answer, 1);
    if (!numbers)
        return {grade::unreadable, ""};
    if (numbers->front() == fact_key(seed))
        return {grade::right, ""};
    return {grade::wrong, "that is not the number factworker prints"};
}

int fact_reveal(std::uint64_t seed)
{
    const std::int32_t n = fact_n(seed);
    const auto output = run_given("factworker", n);
    if (!output)
        return 1;
    const std::string expected = printed("Factorial of %d is: %s\n", n, fact_key(seed).c_str());
    if (output->find(expected) == std::string::npos)
        std::printf("!! The key says \"%s\", and factworker printed otherwise.\n", expected.substr(0, expected.size() - 1).c_str());
    // Legendre: n! holds n/2 + n/4 + n/8 + ... factors of two.
    std::int64_t twos = 0;
    for (std::int64_t p = 2; p <= n; p *= 2)
        twos += n / p;
    if (n < 1)
        std::puts("The worker multiplies the numbers from 1 to n: below 1 there are none, and the product stays 1.");
    else if (n <= 20)
        std::printf("%d! fits in 63 bits (20! = 2432902008176640000 is the last that does), so it is exact.\n", n);
    else if (twos < 64)
        std::printf("%d! is too big for 64 bits. It holds %lld factors of two, fewer than 64, so what is left is n! "
                    "modulo 2^64, read as a signed number: negative when its top bit is 1.\n",
                    n, static_cast<long long>(twos));
    else
        std::printf("%d! holds %lld factors of two, at least 64: it is a multiple of 2^64, and modulo 2^64 it is 0.\n", n,
                    static_cast<long long>(twos));
    return 0;
}

// powerworker: the three numbers it prints, with or without a wrap.

std::int32_t power_n(std::uint64_t seed)
{
    // 46340 is the largest number whose square fits in 32 bits, 1290 the
    // largest whose cube does.
    std::int64_t n = 0;
    switch (pick(seed, 0, 2)) {
    case 0:
        n = pick(seed, 46341, INT32_MAX);
        break;
    case 1:
        n = pick(seed, 1291, 46340);
        break;
    default:
        n = pick(seed, 0, 1290);
        break;
    }
    return static_cast<std::int32_t>(pick(seed, 0, 1) == 0 ? n : -n);
}

std::string power_question(std::uint64_t seed)
{
    return printed("powerworker reads the number %d; its worker thread prints it, its square and its cube, each as a "
                   "32-bit int. What three numbers does it print after \"Number = \", \"Square = \" and \"Cube = \"?",
                   power_n(seed));
}

std::string power_key(std::uint64_t seed)
{
    const std::int32_t n = power_n(seed);
    return printed("%d %d %d", n, square_of(n), cube_of(n));
}

grade power_check(std::uint64_t seed, const std::string& answer)
{
    const auto numbers = exactly(answer, 3);
    if (!numbers)
        return {grade::unreadable, ""};
    const std::int32_t n = power_n(seed);
    const std::int32_t key[] = {n, square_of(n), cube_of(n)};
    const char* const names[] = {"the number", "the square", "the cube"};
    std::vector<std::string> wrong;
    for (std::size_t i = 0; i < 3; i++) {
        if ((*numbers)[i] != std::to_string(key[i]))
            wrong.emplace_back(names[i]);
    }
    switch (wrong.size()) {
    case 0:
        return {grade::right, ""};
    case 1:
        return {grade::wrong, wrong[0] + " is wrong"};
    case 2:
        return {grade::wrong, wrong[0] + " and " + wrong[1] + " are wrong"};
    default:
        return {grade::wrong, "all three are wrong"};
    }
}

// A product of up to 93 bits, in decimal.
__extension__ using wide = __int128;

std::string decimal(wide v)
{
    const bool negative = v < 0;
    std::string digits;
    do {
        const int d = static_cast<int>(v % 10);
        digits.insert(digits.begin(), static_cast<char>('0' + (negative ? -d : d)));
        v /= 10;
    } while (v != 0);
    return (negative ? "-" : "") + digits;
}

int power_reveal(std::uint64_t seed)
{
    const std::int32_t n = power_n(seed);
    const auto output = run_given("powerworker", n);
    if (!output)
        return 1;
    const std::int32_t got[] = {square_of(n), cube_of(n)};
    const char* const names[] = {"Square", "Cube"};
    for (int i = 0; i < 2; i++) {
        const wide exact = i == 0 ? wide{n} * n : wide{n} * n * n;
        const std::string line = printed("Thread: %s = %d\n", names[i], got[i]);
        if (output->find(line) == std::string::npos)
            std::printf("!! The key says \"%s\", and powerworker printed otherwise.\n", line.substr(0, line.size() - 1).c_str());
        if (exact == got[i])
            std::printf("(%d)^%d = %s fits in 32 bits.\n", n, i + 2, decimal(exact).c_str());
        else
            std::printf("(%d)^%d = %s does not fit in 32 bits: modulo 2^32, read as signed, it is %d.\n", n, i + 2,
                        decimal(exact).c_str(), got[i]);
    }
    return 0;
}

// powerworker: which orders of its five lines a run can print.

// The lines, as powerworker prints them given 3, in the order its code has them.
const char* const power_lines[] = {"Main thread: Waiting for the thread to finish...", "Thread: Number = 3", "Thread: Square = 9",
                                   "Thread: Cube = 27", "Main thread: Work completed."};
const char* const line_names[] = {"Waiting", "Number", "Square", "Cube", "Completed"};
using line_order = std::vector<int>;

// Every order the two threads' output steps allow: main prints its waiting
// line, joins, then prints its last line; the worker prints its three lines;
// the join returns only once the worker has printed them all.
void interleave(std::size_t main_at, std::size_t worker_at, line_order& sofar, std::set<line_order>& orders)
{
    const int main_steps[] = {0, -1, 4};   // -1: the join
    const int worker_steps[] = {1, 2, 3};
    if (main_at == 3 && worker_at == 3) {
        orders.insert(sofar);
        return;
    }
    if (worker_at < 3) {
        sofar.push_back(worker_steps[worker_at]);
        interleave(main_at, worker_at + 1, sofar, orders);
        sofar.pop_back();
    }
    if (main_at < 3) {
        const int step = main_steps[main_at];
        if (step < 0) {
            if (worker_at == 3)
                interleave(main_at + 1, worker_at, sofar, orders);
            return;
        }
        sofar.push_back(step);
        interleave(main_at + 1, worker_at, sofar, orders);
        sofar.pop_back();
    }
}

std::set<line_order> possible_orders()
{
    std::set<line_order> found;
    line_order sofar;
    interleave(0, 0, sofar, found);
    return found;
}

// Shuffles ITEMS by the seed (Fisher-Yates, on the kit's own generator).
template <typename T>
void shuffle(std::vector<T>& items, std::uint64_t& seed)
{
    for (std::size_t i = items.size(); i > 1; i--)
        std::swap(items[i - 1], items[static_cast<std::size_t>(pick(seed, 0, static_cast<std::int64_t>(i) - 1))]);
}

// The orders offered, lettered from A: some that a run can print, and some
// one swap of two neighbouring lines away from those, which it cannot.
std::vector<line_order> offered_orders(std::uint64_t seed)
{
    const std::set<line_order> possible = possible_orders();
    std::set<line_order> near;
    for (const line_order& o : possible) {
        for (std::size_t i = 0; i + 1 < o.size(); i++) {
            line_order swapped = o;
            std::swap(swapped[i], swapped[i + 1]);
            if (possible.count(swapped) == 0)
                near.insert(swapped);
        }
    }
    const auto total = static_cast<std::size_t>(pick(seed, 4, 6));
    const auto can = static_cast<std::size_t>(pick(seed, 1, std::min<std::int64_t>(4, static_cast<std::int64_t>(total) - 1)));
    std::vector<line_order> yes(possible.begin(), possible.end());
    std::vector<line_order> no(near.begin(), near.end());
    shuffle(yes, seed);
    shuffle(no, seed);
    std::vector<line_order> offered(yes.begin(), yes.begin() + static_cast<std::ptrdiff_t>(can));
    offered.insert(offered.end(), no.begin(), no.begin() + static_cast<std::ptrdiff_t>(total - can));
    shuffle(offered, seed);
    return offered;
}

std::string order_words(const line_order& o)
{
    std::string words;
    for (const int line : o)
        words += (words.empty() ? "" : ", ") + std::string(line_names[line]);
    return words;
}

std::string order_question(std::uint64_t seed)
{
    std::string q = "powerworker, given 3, prints five lines: its main thread's \"Main thread: Waiting for the thread to "
                    "finish...\" (Waiting) and \"Main thread: Work completed.\" (Completed), and its worker thread's "
                    "Number, Square and Cube lines. Which of these orders can a run print? Give the letters of every "
                    "one that can.";
    char letter = 'A';
    for (const line_order& o : offered_orders(seed))
        q += printed("\n  %c: %s", letter++, order_words(o).c_str());
    return q;
}

std::vector<std::string> order_key_letters(std::uint64_t seed)
{
    const std::set<line_order> possible = possible_orders();
    std::vector<std::string> letters;
    char letter = 'A';
    for (const line_order& o : offered_orders(seed)) {
        if (possible.count(o) != 0)
            letters.emplace_back(1, letter);
        letter++;
    }
    return letters;
}

std::string order_key(std::uint64_t seed)
{
    std::string key;
    for (const std::string& letter : order_key_letters(seed))
        key += (key.empty() ? "" : " ") + letter;
    return key;
}

grade order_check(std::uint64_t seed, const std::string& answer)
{
    const auto letters = letters_in(answer);
    const char last = static_cast<char>('A' + offered_orders(seed).size() - 1);
    const std::string form = printed("the orders are lettered A to %c", last);
    if (!letters)
        return {grade::unreadable, form};
    std::vector<std::string> given;
    for (const char c : *letters) {
        if (c > last)
            return {grade::unreadable, form};
        if (std::find(given.begin(), given.end(), std::string(1, c)) == given.end())
            given.emplace_back(1, c);
    }
    return compare_sets(order_key_letters(seed), given, "order");
}

// The order of the lines a run printed; empty when they are not powerworker's five.
line_order order_of(const std::string& output)
{
    // The prompt has no line end: the first line follows it.
    const std::string prompt = "Enter an integer: ";
    std::istringstream lines(output.compare(0, prompt.size(), prompt) == 0 ? output.substr(prompt.size()) : output);
    line_order o;
    for (std::string line; std::getline(lines, line);) {
        const auto at = std::find(std::begin(power_lines), std::end(power_lines), line);
        if (at == std::end(power_lines))
            return {};
        o.push_back(static_cast<int>(at - std::begin(power_lines)));
    }
    return o;
}

constexpr int order_runs = 200;

int order_reveal(std::uint64_t seed)
{
    std::map<line_order, int> seen;
    for (int run = 0; run < order_runs; run++) {
        const auto output = run_program("powerworker", "3\n");
        if (!output)
            return 1;
        seen[order_of(*output)]++;
    }
    const std::set<line_order> possible = possible_orders();
    std::printf("Each order, whether a run can print it, and how many of %d runs of powerworker here did:\n", order_runs);
    char letter = 'A';
    for (const line_order& o : offered_orders(seed)) {
        const bool can = possible.count(o) != 0;
        std::printf("  %c: %-44s %-6s %3d run%s\n", letter++, order_words(o).c_str(), can ? "can" : "cannot", seen[o], seen[o] == 1 ? "" : "s");
        seen.erase(o);
    }
    for (const auto& [o, runs] : seen) {
        if (o.empty())
            std::printf("!! %d runs printed lines that are not powerworker's five\n", runs);
        else if (possible.count(o) == 0)
            std::printf("!! %d runs printed %s, an order the key says cannot happen\n", runs, order_words(o).c_str());
        else
            std::printf("  (not offered) %-33s can    %3d run%s\n", order_words(o).c_str(), runs, runs == 1 ? "" : "s");
    }
    std::puts("Main prints its waiting line as soon as pthread_create returns, while the new thread is still being\n"
              "scheduled, so that line nearly always comes first. An order that needs the worker to print before it\n"
              "is possible, since nothing in the program forbids it, but may not come up in a few hundred runs.");
    return 0;
}

// racecount's race in small: every final count, from the explorer.

struct race {
    std::int32_t workers;
    std::int32_t steps[3];
    bool up[3];
    std::int32_t start;
};

race race_of(std::uint64_t seed)
{
    race r{};
    if (pick(seed, 0, 3) == 0) {
        // The classic: two threads each add 1 k times, and can end as low as 2.
        const auto k = static_cast<std::int32_t>(pick(seed, 2, 3));
        return {2, {k, k, 0}, {true, true, false}, 0};
    }
    // The explorer keeps every state it meets, and they grow fast with the
    // steps: these sizes keep every key in some tens of milliseconds. Two
    // threads make up to six steps in all; three, up to four, one of them
    // perhaps taking two.
    r.workers = static_cast<std::int32_t>(pick(seed, 2, 3));
    if (r.workers == 2) {
        r.steps[0] = static_cast<std::int32_t>(pick(seed, 1, 4));
        r.steps[1] = static_cast<std::int32_t>(pick(seed, 1, std::min(4, 6 - r.steps[0])));
    } else {
        const std::int64_t twice = pick(seed, 0, 3);
        for (std::int32_t w = 0; w < 3; w++)
            r.steps[w] = w == twice ? 2 : 1;
    }
    for (std::int32_t w = 0; w < r.workers; w++)
        r.up[w] = pick(seed, 0, 1) == 1;
    r.start = static_cast<std::int32_t>(pick(seed, -5, 10));
    return r;
}

// The race being explored, set before each exploration.
race racing{};
model_cell race_count{"count", 0};

void race_worker(std::int32_t self)
{
    const std::uint32_t delta = racing.up[self] ? 1U : UINT32_MAX;
    for (std::int32_t i = 0; i < racing.steps[self]; i++)
        count_step(race_count, delta);
}

exploration explore_race(std::uint64_t seed, const wanted_end& wanted = {})
{
    racing = race_of(seed);
    race_count.initial = racing.start;
    return explore(memory_model::interleaving, race_worker, racing.workers, {&race_count}, wanted);
}

// The final counts of every execution, in order.
std::vector<std::int32_t> race_finals(const exploration& e)
{
    std::set<std::int32_t> finals;
    for (const auto& outcome : e.outcomes)
        finals.insert(outcome.back());
    return {finals.begin(), finals.end()};
}

std::string race_question(std::uint64_t seed)
{
    const race r = race_of(seed);
    std::string q = printed("Threads %s share one counter, count, which starts at %d.", r.workers == 2 ? "0 and 1" : "0, 1 and 2",
                            r.start);
    for (std::int32_t w = 0; w < r.workers; w++)
    {
        const char* const times[] = {"", "once", "twice", "three times", "four times"};
        q += printed(" Thread %d %s 1, %s.", w, r.up[w] ? "adds" : "subtracts", times[r.steps[w]]);
    }
    return q + " Each step is racecount's own: a load of count, then a store of what it read plus or minus 1, with "
               "nothing to stop another thread's steps coming between the two. When every thread has finished, what can "
               "count be? Give every value a run can end at.";
}

// The counts, with three or more in a row as a range: -2..2 4.
std::string counts_in_ranges(const std::vector<std::int32_t>& finals)
{
    std::string key;
    for (std::size_t i = 0; i < finals.size();) {
        std::size_t j = i;
        while (j + 1 < finals.size() && finals[j + 1] == finals[j] + 1)
            j++;
        if (!key.empty())
            key += ' ';
        key += std::to_string(finals[i]);
        if (j > i) {
            key += j >= i + 2 ? ".." : " ";
            key += std::to_string(finals[j]);
        }
        i = j + 1;
    }
    return key;
}

std::string race_key(std::uint64_t seed)
{
    return counts_in_ranges(race_finals(explore_race(seed)));
}

grade race_check(std::uint64_t seed, const std::string& answer)
{
    const auto numbers = numbers_in(answer);
    if (!numbers)
        return {grade::unreadable, "a range holds at most " + std::to_string(most_in_range) + " numbers"};
    const std::vector<std::int32_t> finals = race_finals(explore_race(seed));
    std::vector<std::string> key(finals.size());
    std::transform(finals.begin(), finals.end(), key.begin(), [](std::int32_t n) { return std::to_string(n); });
    std::vector<std::string> answered;
    for (const std::string& n : *numbers) {
        if (std::find(answered.begin(), answered.end(), n) == answered.end())
            answered.push_back(n);
    }
    return compare_sets(key, answered, "count");
}

int race_reveal(std::uint64_t seed)
{
    const exploration all = explore_race(seed);
    const std::vector<std::int32_t> finals = race_finals(all);
    std::int64_t lossless = racing.start;
    for (std::int32_t w = 0; w < racing.workers; w++)
        lossless += racing.up[w] ? racing.steps[w] : -racing.steps[w];
    std::printf("Run one step at a time in every order, these threads have %lld executions (each a different choice of\n"
                "which store every load reads, and which store is last), and they end at %s.\n",
                static_cast<long long>(all.executions), counts_in_ranges(finals).c_str());
    std::printf("With no update lost, count would end at %lld.\n", static_cast<long long>(lossless));
    for (const std::int32_t end : {finals.front(), finals.back()}) {
        const exploration shortest = explore_race(seed, [end](const std::vector<std::int32_t>& o) { return o.back() == end; });
        // Every run makes the same steps, so any is as short as the next.
        std::printf("\nA run that ends at %d:\n", end);
        show_witness(shortest.witness);
        if (end == finals.back())
            break;
    }
    return 0;
}

// Peterson's lock: can both threads be inside at once?

struct lock_case {
    int program;   // an order of `orders`, then a repair of `repairs`
    int model;     // of `models`
};

const char* const order_words_of[] = {"every access seq_cst", "release stores and acquire loads", "every access relaxed"};
const char* const store_words_of[] = {"every store seq_cst", "release stores", "every store relaxed"};
// The repairs asked about: the first ones of `repairs`. A repair added there
// later is not drawn, so that a seed keeps the question it gave before.
const char* const repair_words_of[] = {"release stores and acquire loads, with a seq_cst fence after each thread's stores",
                                       "release stores and acquire loads, with the turn given away by a seq_cst exchange"};
constexpr int asked_repairs = sizeof repair_words_of / sizeof repair_words_of[0];
static_assert(asked_repairs <= repair_count);

lock_case lock_of(std::uint64_t seed)
{
    const auto program = static_cast<int>(pick(seed, 0, order_count + asked_repairs - 1));
    return {program, static_cast<int>(pick(seed, 0, model_count - 1))};
}
const char* const model_words_of[] = {"interleaving (one access at a time, each load reading the latest store)",
                                      "x86-TSO (the hardware's model, as g++ compiles each order)",
                                      "the C++ memory model"};

exploration explore_lock(const lock_case& c)
{
    void (*program)(std::int32_t) =
        c.program < order_count ? orders[c.program].program : repairs[c.program - order_count].program;
    return explore(models[c.model].model, program, 2, {&flags[0], &flags[1], &turns});
}

std::string lock_question(std::uint64_t seed)
{
    const lock_case c = lock_of(seed);
    return printed("Two threads take Peterson's lock once each, running turnlock's own enter_region and leave_region "
                   "with %s, under %s. Can both threads be inside at once: never, or sometimes?",
                   c.program < order_count ? order_words_of[c.program] : repair_words_of[c.program - order_count],
                   model_words_of[c.model]);
}

bool lock_fails(std::uint64_t seed)
{
    return explore_lock(lock_of(seed)).both_inside != 0;
}

int lock_reveal(std::uint64_t seed)
{
    const lock_case c = lock_of(seed);
    const exploration e = explore_lock(c);
    std::printf("Under %s, the explorer finds %lld executions; %lld let both threads in.\n", models[c.model].name,
                static_cast<long long>(e.executions), static_cast<long long>(e.both_inside));
    if (e.witness.empty()) {
        std::puts("No execution lets both threads in.");
    } else {
        std::puts("The shortest execution that lets both threads in:");
        show_witness(e.witness);
    }
    if (models[c.model].model != memory_model::x86_tso)
        return 0;
    utsname machine{};
    if (c.program >= order_count) {
        std::puts("\nweaklock runs the lock with each order, not with its repairs: nothing to measure here.");
    } else if (uname(&machine) != 0 || std::string(machine.machine) != "x86_64") {
        std::puts("\nThis machine is not an x86-64 one: weaklock here would not show what x86-TSO allows.");
    } else {
        const auto output = run_program("weaklock", "");
        if (!output)
            return 1;
        const std::string label = std::string(orders[c.program].name) + ": ";
        const auto at = output->find("\n" + label);
        if (at != std::string::npos)
            std::printf("\nweaklock, the same lock on this machine's CPUs, %s",
                        output->substr(at + 1, output->find('\n', at + 1) - at).c_str());
        else   // weaklock says itself why it ran no rounds (one CPU free, say)
            show_output(*output);
    }
    return 0;
}

// The classic litmus tests: can the named outcome happen?

struct litmus_case {
    int test;   // SB, MP, IRIW, 2+2W
    int order;  // seq_cst, acq_rel, relaxed
    bool fenced;
    int model;
};

litmus_case litmus_of(std::uint64_t seed)
{
    litmus_case c{};
    c.test = static_cast<int>(pick(seed, 0, 3));
    c.order = static_cast<int>(pick(seed, 0, 2));
    // 2+2W has no fenced form here; MP's fences order relaxed accesses.
    c.fenced = c.test != 3 && pick(seed, 0, 2) == 0;
    if (c.fenced && c.test == 1)
        c.order = 2;
    c.model = static_cast<int>(pick(seed, 0, 2));
    return c;
}

struct litmus_shape {
    const char* name;
    void (*plain)(std::int32_t);
    void (*fenced)(std::int32_t);
    std::int32_t threads;
    const char* program;
    const char* fences;
    const char* outcome;
    // What each thread's loads return, then x and y at the end.
    std::vector<std::int32_t> weak;
};

const litmus_shape& shape_of(int test)
{
    static const litmus_shape shapes[] = {
    {"store buffering", sb, sb_fenced, 2, "thread 0 stores x = 1, then loads y; thread 1 stores y = 1, then loads x",
     ", with a seq_cst fence between each thread's store and load", "both loads read 0", {0, 0, 1, 1}},
    {"message passing", mp, mp_fenced, 2, "thread 0 stores x = 1 (the data), then y = 1 (the flag); thread 1 loads y, then x",
     ", with a release fence between thread 0's stores and an acquire fence between thread 1's loads",
     "thread 1 reads y = 1 and then x = 0", {1, 0, 1, 1}},
    {"independent reads of independent writes", iriw<false>, iriw<true>, 4,
     "thread 0 stores x = 1; thread 1 stores y = 1; thread 2 loads x, then y; thread 3 loads y, then x",
     ", with a seq_cst fence between each reader's loads", "thread 2 reads x = 1, y = 0 while thread 3 reads y = 1, x = 0",
     {1, 0, 1, 0, 1, 1}},
    {"2+2W", two_plus_two_w, two_plus_two_w, 2, "thread 0 stores x = 1, then y = 2; thread 1 stores y = 1, then x = 2", "",
     "x and y both end at 1", {1, 1}},
};
    return shapes[test];
}

const std::memory_order litmus_orders[] = {std::memory_order_seq_cst, std::memory_order_acq_rel, std::memory_order_relaxed};

exploration explore_litmus(const litmus_case& c, const wanted_end& wanted = {})
{
    const litmus_shape& s = shape_of(c.test);
    litmus_order = litmus_orders[c.order];
    return explore(models[c.model].model, c.fenced ? s.fenced : s.plain, s.threads, {&litmus_x, &litmus_y}, wanted);
}

std::string litmus_question(std::uint64_t seed)
{
    const litmus_case c = litmus_of(seed);
    const litmus_shape& s = shape_of(c.test);
    return printed("The %s test: x and y start at 0; %s, with %s%s. Under %s, can it happen that %s: never, or sometimes?", s.name, s.program,
                   c.test == 3 ? store_words_of[c.order] : order_words_of[c.order], c.fenced ? s.fences : "",
                   model_words_of[c.model], s.outcome);
}

bool litmus_happens(std::uint64_t seed)
{
    const litmus_case c = litmus_of(seed);
    const exploration e = explore_litmus(c);
    return std::find(e.outcomes.begin(), e.outcomes.end(), shape_of(c.test).weak) != e.outcomes.end();
}

int litmus_reveal(std::uint64_t seed)
{
    const litmus_case c = litmus_of(seed);
    const litmus_shape& s = shape_of(c.test);
    const exploration e = explore_litmus(c, [&s](const std::vector<std::int32_t>& o) { return o == s.weak; });
    std::printf("Under %s, the explorer finds %lld executions, with %zu outcomes.\n", models[c.model].name,
                static_cast<long long>(e.executions), e.outcomes.size());
    if (e.witness.empty()) {
        std::printf("In none of them does it happen that %s.\n", s.outcome);
        return 0;
    }
    std::printf("The shortest execution in which %s:\n", s.outcome);
    show_witness(e.witness);
    return 0;
}

const exercise table[] = {
    {"factworker-value", "factworker", 2, "the number factworker prints for n!", "one whole number, such as 120",
     "The product is kept in 64 bits: exact up to 20!, then n! modulo 2^64 read as signed; and a product of no numbers "
     "is 1.",
     fact_question, fact_key, fact_check,
     fact_reveal},
    {"powerworker-value", "powerworker", 3, "the three numbers powerworker prints", "three whole numbers, such as 3 9 27",
     "The powers are kept in 32 bits: one outside -2147483648..2147483647 wraps modulo 2^32, and a top bit of 1 reads as "
     "negative.",
     power_question,
     power_key, power_check, power_reveal},
    {"powerworker-order", "powerworker", 4, "which orders of its five lines powerworker can print",
     "the letters of every order that can come, such as A C",
     "Each thread prints its own lines in order, main prints its last line after the join returns, and nothing else "
     "orders the two threads.",
     order_question, order_key, order_check, order_reveal},
    {"racecount-finals", "racecount", 6, "every count a small race without a lock can end at",
     "whole numbers, such as 2 3 5, or a range such as 2..6 when every number between can come",
     "A thread's store writes back what it loaded plus or minus 1, wiping out every step the others made in between: how "
     "many can one stale store undo?",
     race_question, race_key, race_check, race_reveal},
    {"lock-verdict", "lockmodel", 4, "whether Peterson's lock lets both threads in", "never or sometimes",
     "Both threads get in only if each one's load of the other's flag can miss the other's store to it: does the model "
     "let a load overtake an earlier store?",
     lock_question, verdict_key<lock_fails>, verdict_check<lock_fails>, lock_reveal},
    {"litmus-verdict", "lockmodel", 4, "whether a litmus test's outcome can happen", "never or sometimes",
     "Ask what the model lets a load overtake, and whether every thread must see stores to different variables in one order.",
     litmus_question, verdict_key<litmus_happens>, verdict_check<litmus_happens>, litmus_reveal},
    fork_tree,
    fork_reaper,
    fork_orphans,
    launcher_lines,
};

} // namespace

std::span<const exercise> exercises()
{
    return table;
}

const exercise* find_exercise(const std::string& id)
{
    const auto* found = std::find_if(std::begin(table), std::end(table), [&id](const exercise& e) { return id == e.id; });
    return found == std::end(table) ? nullptr : found;
}
