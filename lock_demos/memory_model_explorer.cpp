// The explorer: a breadth-first search over the states a memory model lets
// the program reach, each state met once, however many schedules lead to it.
// Breadth first, so that the first state found with two threads inside ends
// a shortest run there.
#include "memory_model_explorer.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <unordered_set>
#include <utility>

namespace {

constexpr int max_stores = 16;   // per thread: a store's number must fit the write numbering

enum class kind : std::uint8_t { load, store, inside, drain, finished };

// A thread's next step, found by running its program up to it.
struct action {
    kind what = kind::finished;
    int var = 0;
    std::int32_t value = 0;   // a store's
    std::memory_order order = std::memory_order_seq_cst;
    std::uint64_t point = 0;  // where in the source
};

// The run of one thread's program in progress: its first `actions` steps are
// replayed, each load returning the next of `seen`, and the step after them
// is recorded in `next`.
struct replay {
    const std::vector<std::int32_t>* seen;
    int actions;
    int met = 0;
    std::size_t loads = 0;
    action next{};
};

replay* running = nullptr;

// Thrown when the run reaches the step it is after, which ends it.
struct reached {};

// Whether the call just met is one of the steps being replayed.
bool replaying()
{
    return running->met++ < running->actions;
}

[[noreturn]] void reach(const action& next)
{
    running->next = next;
    throw reached{};
}

std::uint64_t point_of(const char* file, int line)
{
    // Each call site's file name is a string of the program's own, all of
    // them within 4 GiB of each other, so the low half of its address tells
    // files apart.
    return (static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(file)) << 32) ^ static_cast<std::uint32_t>(line);
}

// One store. Writes are numbered so that the same write has the same number
// in every schedule: the initial value of variable v is v; thread t's k-th
// store comes after all those, at t * max_stores + k.
struct write {
    int var = -1;   // -1 until made
    std::int32_t value = 0;
    int thread = -1;   // -1 for an initial value
    bool release = false;
    std::vector<int> view;   // a release store's: its writer's view
};

struct thread_state {
    std::vector<std::int32_t> seen;   // what its loads returned
    std::vector<int> read;            // the write each load read
    // Its loads since its last other step: where each stands, and what it read.
    std::vector<std::pair<std::uint64_t, int>> pass;
    std::vector<int> buffer;          // x86-TSO: its stores not yet in memory, oldest first
    std::vector<int> view;            // C++: per variable, the latest write it has seen
    int actions = 0;
    int stores = 0;
    bool inside = false;
    bool finished = false;
};

struct state {
    std::vector<thread_state> threads;
    std::vector<write> writes;
    // Per variable, its writes in coherence order. Under interleaving and
    // x86-TSO, memory holds the last.
    std::vector<std::vector<int>> order;
    bool both_inside = false;
};

// How a state was reached, for the witness.
struct step {
    kind what = kind::finished;
    int thread = -1;
    int var = 0;
    std::int32_t value = 0;
    std::memory_order order = std::memory_order_seq_cst;
    int writer = -1;           // a load's: whose store it read, -1 for the initial value
    bool buffered = false;     // x86-TSO: a store into the buffer, a load out of it
    // C++: the newest store a load passed over, or the one a store went
    // before; var -1 when there is none.
    write passed{};
    bool synced = false;       // an acquire load that took on its writer's view
    bool both_inside = false;
};

struct node {
    state now;
    int parent;
    step how;
};

struct search {
    memory_model model;
    void (*program)(std::int32_t);
    std::vector<model_cell*> cells;
    std::map<std::vector<std::int32_t>, action> known;   // (thread, steps made, what its loads returned) -> next step
    bool weaker = false;                                  // whether any access was not seq_cst
};

action next_action(search& s, std::int32_t self, const thread_state& t)
{
    std::vector<std::int32_t> key{self, t.actions};
    key.insert(key.end(), t.seen.begin(), t.seen.end());
    const auto found = s.known.find(key);
    if (found != s.known.end())
        return found->second;
    replay r{&t.seen, t.actions};
    running = &r;
    try {
        s.program(self);
    } catch (const reached&) {
    } catch (...) {
        running = nullptr;
        throw;
    }
    running = nullptr;
    if (r.next.what != kind::finished && r.next.order != std::memory_order_seq_cst)
        s.weaker = true;
    s.known.emplace(std::move(key), r.next);
    return r.next;
}

bool is_acquire(std::memory_order order)
{
    return order == std::memory_order_acquire || order == std::memory_order_acq_rel || order == std::memory_order_seq_cst;
}

// Where write w stands in a variable's coherence order.
std::size_t position(const std::vector<int>& coherence, int w)
{
    return static_cast<std::size_t>(std::find(coherence.begin(), coherence.end(), w) - coherence.begin());
}

// Whether the thread's loads since its last other step end with the same
// pass twice over: the same places, reading the same writes.
bool repeats(const std::vector<std::pair<std::uint64_t, int>>& pass)
{
    for (std::size_t n = 1; 2 * n <= pass.size(); n++) {
        if (std::equal(pass.end() - static_cast<std::ptrdiff_t>(n), pass.end(),
                       pass.end() - static_cast<std::ptrdiff_t>(2 * n)))
            return true;
    }
    return false;
}

// The state after thread self's next step, before the step's own effect.
state moved(const state& st, std::int32_t self)
{
    state next = st;
    thread_state& t = next.threads[static_cast<std::size_t>(self)];
    t.actions++;
    t.inside = false;
    return next;
}

// Every state one step of thread self leads to, with how.
void steps_of(search& s, const state& st, std::int32_t self, std::vector<std::pair<state, step>>& out)
{
    const thread_state& t = st.threads[static_cast<std::size_t>(self)];
    const action a = next_action(s, self, t);
    step how{a.what, self, a.var, a.value, a.order};
    const auto var = static_cast<std::size_t>(a.var);
    const auto& coherence = st.order[var];
    switch (a.what) {
    case kind::inside: {
        state next = moved(st, self);
        next.threads[static_cast<std::size_t>(self)].inside = true;
        next.threads[static_cast<std::size_t>(self)].pass.clear();
        for (std::size_t other = 0; other < st.threads.size(); other++)
            next.both_inside = next.both_inside || (st.threads[other].inside && other != static_cast<std::size_t>(self));
        how.both_inside = next.both_inside && !st.both_inside;
        out.emplace_back(std::move(next), how);
        return;
    }
    case kind::store: {
        if (t.stores == max_stores)
            throw std::length_error("a thread made more stores than the explorer numbers");
        const int w = static_cast<int>(s.cells.size()) + self * max_stores + t.stores;
        const bool direct = s.model == memory_model::x86_tso && a.order == std::memory_order_seq_cst;
        if (direct && !t.buffer.empty())
            return;   // an xchg waits for the buffer to drain
        // Where it may go in the coherence order: last, or under C++ anywhere after the thread's view.
        const std::size_t first = s.model == memory_model::cpp ? position(coherence, t.view[var]) + 1 : coherence.size();
        for (std::size_t at = first; at <= coherence.size(); at++) {
            state next = moved(st, self);
            thread_state& n = next.threads[static_cast<std::size_t>(self)];
            n.stores++;
            n.pass.clear();
            write& made = next.writes[static_cast<std::size_t>(w)];
            made = {a.var, a.value, self, a.order != std::memory_order_relaxed, {}};
            if (s.model == memory_model::x86_tso && !direct) {
                n.buffer.push_back(w);
                how.buffered = true;
            } else {
                auto& o = next.order[var];
                o.insert(o.begin() + static_cast<std::ptrdiff_t>(at), w);
            }
            if (s.model == memory_model::cpp) {
                n.view[var] = w;
                if (made.release)
                    made.view = n.view;
                how.passed = at < coherence.size() ? st.writes[static_cast<std::size_t>(coherence[at])] : write{};
            }
            out.emplace_back(std::move(next), how);
        }
        return;
    }
    case kind::load: {
        // The writes it may read: the latest, its own buffered store, or under C++ any not older than its view.
        std::vector<int> readable{coherence.back()};
        if (s.model == memory_model::x86_tso) {
            const auto own = std::find_if(t.buffer.rbegin(), t.buffer.rend(),
                                          [&](int w) { return st.writes[static_cast<std::size_t>(w)].var == a.var; });
            if (own != t.buffer.rend()) {
                readable = {*own};
                how.buffered = true;
            }
        } else if (s.model == memory_model::cpp) {
            readable.assign(coherence.begin() + static_cast<std::ptrdiff_t>(position(coherence, t.view[var])), coherence.end());
        }
        for (const int w : readable) {
            auto pass = t.pass;
            pass.emplace_back(a.point, w);
            if (repeats(pass))
                continue;
            state next = moved(st, self);
            thread_state& n = next.threads[static_cast<std::size_t>(self)];
            const write& got = st.writes[static_cast<std::size_t>(w)];
            n.seen.push_back(got.value);
            n.read.push_back(w);
            n.pass = std::move(pass);
            how.value = got.value;
            how.writer = got.thread;
            if (s.model == memory_model::cpp) {
                n.view[var] = w;
                how.passed = w != coherence.back() ? st.writes[static_cast<std::size_t>(coherence.back())] : write{};
                how.synced = false;
                if (is_acquire(a.order) && got.release && got.thread != self) {
                    for (std::size_t v = 0; v < n.view.size(); v++) {
                        if (position(next.order[v], got.view[v]) > position(next.order[v], n.view[v])) {
                            n.view[v] = got.view[v];
                            how.synced = true;
                        }
                    }
                }
            }
            out.emplace_back(std::move(next), how);
        }
        return;
    }
    case kind::drain:
    case kind::finished:
        return;
    }
}

// Marks each thread whose program has returned as finished.
void settle(search& s, state& st)
{
    for (std::size_t i = 0; i < st.threads.size(); i++) {
        thread_state& t = st.threads[i];
        t.finished = t.finished || next_action(s, static_cast<std::int32_t>(i), t).what == kind::finished;
    }
}

void put(std::string& key, std::int64_t v)
{
    key.append(reinterpret_cast<const char*>(&v), sizeof v);
}

void put(std::string& key, const std::vector<int>& list)
{
    put(key, static_cast<std::int64_t>(list.size()));
    for (const int v : list)
        put(key, v);
}

// Everything that decides what can happen next, and what has happened so far.
std::string key_of(const state& st)
{
    std::string key;
    put(key, st.both_inside);
    for (const thread_state& t : st.threads) {
        put(key, t.actions);
        put(key, t.stores);
        put(key, t.inside);
        put(key, t.finished);
        put(key, t.read);
        put(key, t.buffer);
        put(key, t.view);
        put(key, static_cast<std::int64_t>(t.pass.size()));
        for (const auto& [point, w] : t.pass) {
            put(key, static_cast<std::int64_t>(point));
            put(key, w);
        }
    }
    for (const write& w : st.writes) {
        put(key, w.var);
        put(key, w.value);
        put(key, w.release);
        put(key, w.view);
    }
    for (const auto& o : st.order)
        put(key, o);
    return key;
}

const char* store_order_name(std::memory_order order)
{
    return order == std::memory_order_relaxed ? "relaxed" : order == std::memory_order_seq_cst ? "seq_cst" : "release";
}

const char* load_order_name(std::memory_order order)
{
    return order == std::memory_order_relaxed ? "relaxed" : order == std::memory_order_seq_cst ? "seq_cst" : "acquire";
}

std::string printed(const char* format, auto... args)
{
    char line[256];
    // Every line made here is far shorter than the buffer.
    static_cast<void>(std::snprintf(line, sizeof line, format, args...));
    return line;
}

std::string whose(int writer)
{
    return writer < 0 ? "the initial value" : printed("thread %d's store", writer);
}

std::string described(const search& s, const step& how)
{
    const char* name = s.cells[static_cast<std::size_t>(how.var)]->name;
    const bool cpp = s.model == memory_model::cpp;
    std::string line;
    switch (how.what) {
    case kind::inside:
        return printed("thread %d is inside", how.thread) + (how.both_inside ? ", and so both threads are" : "");
    case kind::drain:
        return printed("thread %d's store buffer drains %s = %d into memory", how.thread, name, how.value);
    case kind::store:
        line = printed("thread %d stores %s = %d", how.thread, name, how.value);
        if (s.model == memory_model::x86_tso)
            return line + (how.buffered ? " into its store buffer" : " straight into memory (xchg)");
        if (!cpp)
            return line;
        line += printed(" (%s), ", store_order_name(how.order));
        if (how.passed.var < 0)
            return line + "after every store to " + name + " so far";
        return line + printed("placed before %s (%s = %d)", whose(how.passed.thread).c_str(), name, how.passed.value);
    case kind::load:
        line = printed("thread %d loads %s = %d", how.thread, name, how.value);
        if (s.model == memory_model::x86_tso) {
            if (how.buffered)
                return line + " from its own store buffer";
            return line + " from memory: " + whose(how.writer);
        }
        if (!cpp)
            return line + ": " + whose(how.writer);
        line += printed(" (%s): %s, ", load_order_name(how.order), whose(how.writer).c_str());
        if (how.passed.var < 0)
            line += "the newest";
        else
            line += printed("though %s (%s = %d) is newer", whose(how.passed.thread).c_str(), name, how.passed.value);
        return line + (how.synced ? printed(", and takes on thread %d's view", how.writer) : "");
    case kind::finished:
        break;
    }
    return line;
}

exploration explored(search& s, std::int32_t threads)
{
    const std::size_t vars = s.cells.size();
    state start;
    start.writes.resize(vars + static_cast<std::size_t>(threads) * max_stores);
    start.order.resize(vars);
    // Each thread starts having seen every initial value.
    thread_state fresh;
    for (std::size_t v = 0; v < vars; v++) {
        s.cells[v]->var = static_cast<int>(v);
        start.writes[v] = {static_cast<int>(v), s.cells[v]->initial, -1, false, {}};
        start.order[v] = {static_cast<int>(v)};
        fresh.view.push_back(static_cast<int>(v));
    }
    start.threads.assign(static_cast<std::size_t>(threads), fresh);
    settle(s, start);

    std::vector<node> nodes;
    std::unordered_set<std::string> seen{key_of(start)};
    nodes.push_back({std::move(start), -1, {}});
    int first_both = -1;
    // Per execution (what each load read, and each variable's coherence
    // order): whether two threads were inside at once, and its outcome.
    struct ending {
        bool both_inside = false;
        std::vector<std::int32_t> outcome;
    };
    std::map<std::vector<int>, ending> endings;
    std::vector<std::pair<state, step>> next;
    for (std::size_t i = 0; i < nodes.size(); i++) {
        const state st = std::move(nodes[i].now);
        nodes[i].now = {};
        next.clear();
        for (std::int32_t self = 0; self < threads; self++) {
            if (!st.threads[static_cast<std::size_t>(self)].finished)
                steps_of(s, st, self, next);
        }
        for (std::int32_t self = 0; self < threads && s.model == memory_model::x86_tso; self++) {
            const auto& buffer = st.threads[static_cast<std::size_t>(self)].buffer;
            if (buffer.empty())
                continue;
            state drained = st;
            const int w = buffer.front();
            const write& made = st.writes[static_cast<std::size_t>(w)];
            auto& b = drained.threads[static_cast<std::size_t>(self)].buffer;
            b.erase(b.begin());
            drained.order[static_cast<std::size_t>(made.var)].push_back(w);
            step how{kind::drain, self, made.var, made.value};
            next.emplace_back(std::move(drained), how);
        }
        const bool finished = std::all_of(st.threads.begin(), st.threads.end(), [](const thread_state& t) { return t.finished; });
        if (next.empty() && finished) {
            std::vector<int> signature;
            ending end{st.both_inside, {}};
            for (const thread_state& t : st.threads) {
                signature.insert(signature.end(), t.read.begin(), t.read.end());
                signature.push_back(-1);
                end.outcome.insert(end.outcome.end(), t.seen.begin(), t.seen.end());
            }
            for (const auto& o : st.order) {
                signature.insert(signature.end(), o.begin(), o.end());
                signature.push_back(-1);
                end.outcome.push_back(st.writes[static_cast<std::size_t>(o.back())].value);
            }
            ending& known = endings[signature];
            end.both_inside = end.both_inside || known.both_inside;
            known = std::move(end);
        }
        // A state with nothing left to do and a thread not finished is where
        // a spinning thread's pass was cut: what follows it is found from the
        // state before that pass.
        for (auto& [after, how] : next) {
            settle(s, after);
            if (!seen.insert(key_of(after)).second)
                continue;
            if (after.both_inside && first_both < 0)
                first_both = static_cast<int>(nodes.size());
            nodes.push_back({std::move(after), static_cast<int>(i), how});
        }
    }

    exploration result;
    for (const auto& [signature, end] : endings) {
        result.executions++;
        result.both_inside += end.both_inside ? 1 : 0;
        result.outcomes.push_back(end.outcome);
    }
    std::sort(result.outcomes.begin(), result.outcomes.end());
    result.outcomes.erase(std::unique(result.outcomes.begin(), result.outcomes.end()), result.outcomes.end());
    for (int at = first_both; at > 0; at = nodes[static_cast<std::size_t>(at)].parent)
        result.witness.push_back(described(s, nodes[static_cast<std::size_t>(at)].how));
    std::reverse(result.witness.begin(), result.witness.end());
    return result;
}

} // namespace

std::int32_t model_cell::load(std::memory_order order, const char* file, int line) const
{
    if (replaying())
        return (*running->seen)[running->loads++];
    reach({kind::load, var, 0, order, point_of(file, line)});
}

void model_cell::store(std::int32_t value, std::memory_order order, const char* file, int line)
{
    if (!replaying())
        reach({kind::store, var, value, order, point_of(file, line)});
}

void model_inside()
{
    if (!replaying())
        reach({kind::inside});
}

exploration explore(memory_model model, void (*program)(std::int32_t self), std::int32_t threads,
                    std::initializer_list<model_cell*> cells)
{
    search s{model, program, cells, {}, false};
    exploration result = explored(s, threads);
    if (model == memory_model::cpp && !s.weaker) {
        // Every access was seq_cst: the language promises the interleavings.
        search plain{memory_model::interleaving, program, cells, {}, false};
        result = explored(plain, threads);
    }
    return result;
}
