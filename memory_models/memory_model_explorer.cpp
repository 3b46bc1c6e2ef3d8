// The explorer: a breadth-first search over the states a memory model lets
// the program reach, each state met once, however many schedules lead to it.
// Breadth first, so that the first state found with two threads inside ends
// a shortest run there.
#include "memory_model_explorer.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <stdexcept>
#include <unordered_set>
#include <utility>

namespace {

constexpr int max_stores = 16;   // per thread: a store's number must fit the write numbering

enum class kind : std::uint8_t { load, store, rmw, fence, inside, drain, finished };
enum class rmw_op : std::uint8_t { exchange, add, cas };

// A thread's next step, found by running its program up to it.
struct action {
    kind what = kind::finished;
    int var = 0;
    std::int32_t value = 0;   // a store's; what an exchange or a compare-exchange stores; what an add adds
    std::memory_order order = std::memory_order_seq_cst;
    std::uint64_t point = 0;  // where in the source
    rmw_op op = rmw_op::exchange;
    std::int32_t expected = 0;                              // a compare-exchange's
    std::memory_order failure = std::memory_order_seq_cst;  // a compare-exchange's order when it fails
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

// What the replayed load or read-modify-write read.
std::int32_t replayed()
{
    return (*running->seen)[running->loads++];
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

// What a read-modify-write that read OLD stores; nothing for a compare-exchange that fails.
std::optional<std::int32_t> modified(const action& a, std::int32_t old)
{
    switch (a.op) {
    case rmw_op::exchange:
        return a.value;
    case rmw_op::add:
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(old) + static_cast<std::uint32_t>(a.value));
    case rmw_op::cas:
        break;
    }
    if (old == a.expected)
        return a.value;
    return std::nullopt;
}

// One store. Writes are numbered so that the same write has the same number
// in every schedule: the initial value of variable v is v; thread t's k-th
// store comes after all those, at t * max_stores + k.
struct write {
    int var = -1;   // -1 until made
    std::int32_t value = 0;
    int thread = -1;   // -1 for an initial value
    int rmw_of = -1;   // a read-modify-write's: the write it read
    std::vector<int> view{};   // C++: the view it hands to an acquiring reader; empty for none
};

struct thread_state {
    std::vector<std::int32_t> seen;   // what its loads returned
    std::vector<int> read;            // the write each load read
    // Its loads and fences since its last other step: where each stands, and
    // what it read (-1 for a fence).
    std::vector<std::pair<std::uint64_t, int>> pass;
    std::vector<int> buffer;          // x86-TSO: its stores not yet in memory, oldest first
    std::vector<int> view;            // C++: per variable, the latest write it has seen
    std::vector<int> released;        // C++: its view at its last release fence; empty before one
    std::vector<int> acquired;        // C++: the views carried by the writes it read, joined; for an acquire fence
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
    std::vector<int> sc_view;   // C++: the view the seq_cst fences hand on, one to the next
    bool both_inside = false;
};

// How a state was reached, for the witness.
struct step {
    kind what = kind::finished;
    int thread = -1;
    int var = 0;
    std::int32_t value = 0;    // what a store stored, or what a load or read-modify-write read
    std::memory_order order = std::memory_order_seq_cst;
    int writer = -1;           // a load's: whose store it read, -1 for the initial value
    bool buffered = false;     // x86-TSO: a store into the buffer, a load out of it
    // C++: the newest store a load passed over, or the one a store went
    // before; var -1 when there is none.
    write passed{};
    bool synced = false;       // an acquire that took on another thread's view
    bool both_inside = false;
    rmw_op op = rmw_op::exchange;
    std::optional<std::int32_t> stored{};   // a read-modify-write's store, if it made one
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
    bool weaker = false;                                  // whether any access or fence was not seq_cst
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
    const action& a = r.next;
    if (a.what != kind::finished && (a.order != std::memory_order_seq_cst || (a.op == rmw_op::cas && a.failure != std::memory_order_seq_cst)))
        s.weaker = true;
    s.known.emplace(std::move(key), a);
    return a;
}

bool is_acquire(std::memory_order order)
{
    return order == std::memory_order_acquire || order == std::memory_order_acq_rel || order == std::memory_order_seq_cst;
}

bool is_release(std::memory_order order)
{
    return order == std::memory_order_release || order == std::memory_order_acq_rel || order == std::memory_order_seq_cst;
}

// Where write w stands in a variable's coherence order.
std::size_t position(const std::vector<int>& coherence, int w)
{
    return static_cast<std::size_t>(std::find(coherence.begin(), coherence.end(), w) - coherence.begin());
}

// Joins view FROM into view INTO: for each variable, the later of the two
// writes in coherence order. Returns whether INTO changed.
bool join(std::vector<int>& into, const std::vector<int>& from, const state& st)
{
    if (from.empty())
        return false;
    if (into.empty()) {
        into = from;
        return true;
    }
    bool changed = false;
    for (std::size_t v = 0; v < into.size(); v++) {
        if (position(st.order[v], from[v]) > position(st.order[v], into[v])) {
            into[v] = from[v];
            changed = true;
        }
    }
    return changed;
}

// Whether a store placed at AT in a coherence order would come between a
// write and the read-modify-write that read it, which the read-modify-write's
// atomicity forbids.
bool splits_rmw(const state& st, const std::vector<int>& coherence, std::size_t at)
{
    return at > 0 && at < coherence.size() && st.writes[static_cast<std::size_t>(coherence[at])].rmw_of == coherence[at - 1];
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

// The writes a load (or a read-modify-write) of VAR by thread t may read:
// under interleaving, the latest; under x86-TSO its own newest buffered store
// to VAR, else memory's; under C++ any not older than its view.
std::vector<int> readable(const search& s, const state& st, const thread_state& t, int var, bool& buffered)
{
    const auto& coherence = st.order[static_cast<std::size_t>(var)];
    buffered = false;
    if (s.model == memory_model::x86_tso) {
        const auto own = std::find_if(t.buffer.rbegin(), t.buffer.rend(),
                                      [&](int w) { return st.writes[static_cast<std::size_t>(w)].var == var; });
        if (own != t.buffer.rend()) {
            buffered = true;
            return {*own};
        }
    }
    if (s.model == memory_model::cpp)
        return {coherence.begin() + static_cast<std::ptrdiff_t>(position(coherence, t.view[static_cast<std::size_t>(var)])),
                coherence.end()};
    return {coherence.back()};
}

// The step's thread reads write w, as a load or the read of a
// read-modify-write of ORDER; NEXT is the state after the step. Under C++
// the thread's view moves up to w and, for an acquire, takes on the view w
// carries.
void take(const search& s, const state& st, state& next, int w, std::memory_order order, step& how)
{
    thread_state& n = next.threads[static_cast<std::size_t>(how.thread)];
    const write& got = st.writes[static_cast<std::size_t>(w)];
    n.seen.push_back(got.value);
    n.read.push_back(w);
    how.value = got.value;
    how.writer = got.thread;
    if (s.model != memory_model::cpp)
        return;
    const auto& coherence = st.order[static_cast<std::size_t>(got.var)];
    how.passed = w != coherence.back() ? st.writes[static_cast<std::size_t>(coherence.back())] : write{};
    n.view[static_cast<std::size_t>(got.var)] = w;
    join(n.acquired, got.view, next);
    how.synced = is_acquire(order) && join(n.view, got.view, next);
}

// Its thread makes write w, MADE, with ORDER, at AT in the variable's
// coherence order (under x86-TSO, unless DIRECT, into its store buffer
// instead). Under C++ the write carries the thread's view if it releases,
// else the view at its last release fence, joined with CARRIED.
void make(const search& s, state& next, int w, const write& made, std::memory_order order, std::size_t at, bool direct,
          const std::vector<int>& carried)
{
    thread_state& n = next.threads[static_cast<std::size_t>(made.thread)];
    const auto var = static_cast<std::size_t>(made.var);
    if (n.stores == max_stores)
        throw std::length_error("a thread made more stores than the explorer numbers");
    n.stores++;
    n.pass.clear();
    write& placed = next.writes[static_cast<std::size_t>(w)];
    placed = made;
    if (s.model == memory_model::x86_tso && !direct) {
        n.buffer.push_back(w);
    } else {
        auto& o = next.order[var];
        o.insert(o.begin() + static_cast<std::ptrdiff_t>(at), w);
    }
    if (s.model != memory_model::cpp)
        return;
    n.view[var] = w;
    placed.view = carried;
    join(placed.view, is_release(order) ? n.view : n.released, next);
    if (!placed.view.empty())
        placed.view[var] = w;
}

// The number thread t's next store will have.
int write_number(const search& s, std::int32_t self, const thread_state& t)
{
    return static_cast<int>(s.cells.size()) + self * max_stores + t.stores;
}

// The state after thread self's load or fence, with its pass grown by ENTRY
// (where it stands, and the write a load read); none when that pass repeats
// the one before.
std::optional<state> on_pass(const state& st, std::int32_t self, std::pair<std::uint64_t, int> entry)
{
    auto pass = st.threads[static_cast<std::size_t>(self)].pass;
    pass.push_back(entry);
    if (repeats(pass))
        return std::nullopt;
    state next = moved(st, self);
    next.threads[static_cast<std::size_t>(self)].pass = std::move(pass);
    return next;
}

void loads(search& s, const state& st, std::int32_t self, const action& a, std::vector<std::pair<state, step>>& out)
{
    const thread_state& t = st.threads[static_cast<std::size_t>(self)];
    step how{a.what, self, a.var, 0, a.order};
    for (const int w : readable(s, st, t, a.var, how.buffered)) {
        std::optional<state> next = on_pass(st, self, {a.point, w});
        if (!next)
            continue;
        take(s, st, *next, w, a.order, how);
        out.emplace_back(std::move(*next), how);
    }
}

void stores(search& s, const state& st, std::int32_t self, const action& a, std::vector<std::pair<state, step>>& out)
{
    const thread_state& t = st.threads[static_cast<std::size_t>(self)];
    const auto& coherence = st.order[static_cast<std::size_t>(a.var)];
    // Under x86-TSO a seq_cst store is an xchg, which waits for the buffer to
    // drain and writes memory.
    const bool direct = s.model == memory_model::x86_tso && a.order == std::memory_order_seq_cst;
    if (direct && !t.buffer.empty())
        return;
    // It goes last, or under C++ anywhere after the thread's view, but never
    // between a write and the read-modify-write that read it.
    const std::size_t first = s.model == memory_model::cpp ? position(coherence, t.view[static_cast<std::size_t>(a.var)]) + 1 : coherence.size();
    for (std::size_t at = first; at <= coherence.size(); at++) {
        if (splits_rmw(st, coherence, at))
            continue;
        step how{a.what, self, a.var, a.value, a.order};
        how.buffered = s.model == memory_model::x86_tso && !direct;
        if (s.model == memory_model::cpp && at < coherence.size())
            how.passed = st.writes[static_cast<std::size_t>(coherence[at])];
        state next = moved(st, self);
        make(s, next, write_number(s, self, t), {a.var, a.value, self}, a.order, at, direct, {});
        out.emplace_back(std::move(next), how);
    }
}

void rmws(search& s, const state& st, std::int32_t self, const action& a, std::vector<std::pair<state, step>>& out)
{
    const thread_state& t = st.threads[static_cast<std::size_t>(self)];
    // Under x86-TSO a read-modify-write is a locked instruction: it waits for
    // the buffer to drain, then reads and writes memory in one step.
    if (s.model == memory_model::x86_tso && !t.buffer.empty())
        return;
    const auto& coherence = st.order[static_cast<std::size_t>(a.var)];
    bool buffered = false;
    for (const int w : readable(s, st, t, a.var, buffered)) {
        const write& got = st.writes[static_cast<std::size_t>(w)];
        step how{a.what, self, a.var, 0, a.order};
        how.op = a.op;
        how.stored = modified(a, got.value);
        const std::size_t at = position(coherence, w) + 1;
        if (!how.stored) {
            // A compare-exchange that fails only reads, with its failure order.
            std::optional<state> next = on_pass(st, self, {a.point, w});
            if (!next)
                continue;
            how.order = a.failure;
            take(s, st, *next, w, a.failure, how);
            out.emplace_back(std::move(*next), how);
            continue;
        }
        // Its store goes straight after the write it read: a write another
        // read-modify-write has read already is taken. (Under interleaving
        // and x86-TSO it read the last write, and goes last.)
        if (splits_rmw(st, coherence, at))
            continue;
        state next = moved(st, self);
        take(s, st, next, w, a.order, how);
        make(s, next, write_number(s, self, t), {a.var, *how.stored, self, w}, a.order, at, true, got.view);
        out.emplace_back(std::move(next), how);
    }
}

void fences(search& s, const state& st, std::int32_t self, const action& a, std::vector<std::pair<state, step>>& out)
{
    const thread_state& t = st.threads[static_cast<std::size_t>(self)];
    // Under x86-TSO a seq_cst fence is an mfence, which waits for the buffer
    // to drain; the weaker ones compile to nothing. Under interleaving no
    // fence changes anything.
    if (s.model == memory_model::x86_tso && a.order == std::memory_order_seq_cst && !t.buffer.empty())
        return;
    step how{a.what, self, 0, 0, a.order};
    std::optional<state> next = on_pass(st, self, {a.point, -1});
    if (!next)
        return;
    if (s.model == memory_model::cpp) {
        thread_state& n = next->threads[static_cast<std::size_t>(self)];
        if (is_acquire(a.order))
            how.synced = join(n.view, n.acquired, *next);
        if (a.order == std::memory_order_seq_cst) {
            how.synced = join(n.view, next->sc_view, *next) || how.synced;
            next->sc_view = n.view;
        }
        if (is_release(a.order))
            n.released = n.view;
    }
    out.emplace_back(std::move(*next), how);
}

void enters(const state& st, std::int32_t self, std::vector<std::pair<state, step>>& out)
{
    state next = moved(st, self);
    next.threads[static_cast<std::size_t>(self)].inside = true;
    next.threads[static_cast<std::size_t>(self)].pass.clear();
    for (std::size_t other = 0; other < st.threads.size(); other++)
        next.both_inside = next.both_inside || (st.threads[other].inside && other != static_cast<std::size_t>(self));
    step how{kind::inside, self};
    how.both_inside = next.both_inside && !st.both_inside;
    out.emplace_back(std::move(next), how);
}

// Every state one step of thread self leads to, with how.
void steps_of(search& s, const state& st, std::int32_t self, std::vector<std::pair<state, step>>& out)
{
    const action a = next_action(s, self, st.threads[static_cast<std::size_t>(self)]);
    switch (a.what) {
    case kind::load:
        return loads(s, st, self, a, out);
    case kind::store:
        return stores(s, st, self, a, out);
    case kind::rmw:
        return rmws(s, st, self, a, out);
    case kind::fence:
        return fences(s, st, self, a, out);
    case kind::inside:
        return enters(st, self, out);
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
        put(key, t.released);
        put(key, t.acquired);
        put(key, static_cast<std::int64_t>(t.pass.size()));
        for (const auto& [point, w] : t.pass) {
            put(key, static_cast<std::int64_t>(point));
            put(key, w);
        }
    }
    for (const write& w : st.writes) {
        put(key, w.var);
        put(key, w.value);
        put(key, w.rmw_of);
        put(key, w.view);
    }
    for (const auto& o : st.order)
        put(key, o);
    put(key, st.sc_view);
    return key;
}

const char* order_name(std::memory_order order)
{
    switch (order) {
    case std::memory_order_relaxed:
        return "relaxed";
    case std::memory_order_acquire:
    case std::memory_order_consume:
        return "acquire";
    case std::memory_order_release:
        return "release";
    case std::memory_order_acq_rel:
        return "acq_rel";
    case std::memory_order_seq_cst:
        break;
    }
    return "seq_cst";
}

const char* rmw_name(rmw_op op)
{
    return op == rmw_op::exchange ? "exchange" : op == rmw_op::add ? "fetch_add" : "compare-exchange";
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
        line += printed(" (%s), ", order_name(how.order));
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
        line += printed(" (%s): %s, ", order_name(how.order), whose(how.writer).c_str());
        if (how.passed.var < 0)
            line += "the newest";
        else
            line += printed("though %s (%s = %d) is newer", whose(how.passed.thread).c_str(), name, how.passed.value);
        return line + (how.synced ? printed(", and takes on thread %d's view", how.writer) : "");
    case kind::rmw:
        line = printed("thread %d's %s of %s reads %d (%s)", how.thread, rmw_name(how.op), name, how.value, whose(how.writer).c_str());
        if (how.stored)
            line += printed(" and stores %d", *how.stored);
        else
            line += " and fails";
        if (s.model == memory_model::x86_tso)
            return line + ", locked, with its store buffer empty";
        if (!cpp)
            return line;
        line += printed(" (%s)", order_name(how.order));
        if (how.passed.var >= 0)
            line += printed(", though %s (%s = %d) is newer", whose(how.passed.thread).c_str(), name, how.passed.value);
        return line + (how.synced ? printed(", and takes on thread %d's view", how.writer) : "");
    case kind::fence:
        line = printed("thread %d fences (%s)", how.thread, order_name(how.order));
        if (s.model == memory_model::x86_tso)
            return line + (how.order == std::memory_order_seq_cst ? ": mfence, with its store buffer empty" : ": no instruction");
        return line + (cpp && how.synced ? ", and its view grows" : "");
    case kind::finished:
        break;
    }
    return line;
}

exploration explored(search& s, std::int32_t threads, const wanted_end& wanted)
{
    const std::size_t vars = s.cells.size();
    state start;
    start.writes.resize(vars + static_cast<std::size_t>(threads) * max_stores);
    start.order.resize(vars);
    // Each thread starts having seen every initial value.
    thread_state fresh;
    for (std::size_t v = 0; v < vars; v++) {
        s.cells[v]->var = static_cast<int>(v);
        start.writes[v] = {static_cast<int>(v), s.cells[v]->initial};
        start.order[v] = {static_cast<int>(v)};
        fresh.view.push_back(static_cast<int>(v));
    }
    start.threads.assign(static_cast<std::size_t>(threads), fresh);
    start.sc_view = fresh.view;
    settle(s, start);

    std::vector<node> nodes;
    std::unordered_set<std::string> seen{key_of(start)};
    nodes.push_back({std::move(start), -1, {}});
    int first_both = -1;
    int first_wanted = -1;
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
            // Breadth first: the first end wanted is the nearest.
            if (wanted && first_wanted < 0 && wanted(end.outcome))
                first_wanted = static_cast<int>(i);
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
            if (static_cast<std::int64_t>(nodes.size()) == max_states)
                throw std::length_error("the exploration passed the explorer's limit of states");
            if (after.both_inside && first_both < 0)
                first_both = static_cast<int>(nodes.size());
            nodes.push_back({std::move(after), static_cast<int>(i), how});
        }
    }

    exploration result;
    for (const auto& [signature, end] : endings) {
        result.executions++;
        result.both_inside += end.both_inside ? 1 : 0;
        result.wanted += wanted && wanted(end.outcome) ? 1 : 0;
        result.outcomes.push_back(end.outcome);
    }
    std::sort(result.outcomes.begin(), result.outcomes.end());
    result.outcomes.erase(std::unique(result.outcomes.begin(), result.outcomes.end()), result.outcomes.end());
    for (int at = wanted ? first_wanted : first_both; at > 0; at = nodes[static_cast<std::size_t>(at)].parent)
        result.witness.push_back(described(s, nodes[static_cast<std::size_t>(at)].how));
    std::reverse(result.witness.begin(), result.witness.end());
    return result;
}

} // namespace

std::int32_t model_cell::load(std::memory_order order, const char* file, int line) const
{
    if (replaying())
        return replayed();
    reach({kind::load, var, 0, order, point_of(file, line)});
}

void model_cell::store(std::int32_t value, std::memory_order order, const char* file, int line)
{
    if (!replaying())
        reach({kind::store, var, value, order, point_of(file, line)});
}

std::int32_t model_cell::exchange(std::int32_t value, std::memory_order order, const char* file, int line)
{
    if (replaying())
        return replayed();
    reach({kind::rmw, var, value, order, point_of(file, line), rmw_op::exchange});
}

std::int32_t model_cell::fetch_add(std::int32_t value, std::memory_order order, const char* file, int line)
{
    if (replaying())
        return replayed();
    reach({kind::rmw, var, value, order, point_of(file, line), rmw_op::add});
}

bool model_cell::compare_exchange_strong(std::int32_t& expected, std::int32_t desired, std::memory_order order, const char* file,
                                         int line)
{
    // As for the atomic: a failure takes the order without its release part.
    const std::memory_order failure = order == std::memory_order_acq_rel ? std::memory_order_acquire
                                      : order == std::memory_order_release ? std::memory_order_relaxed
                                                                           : order;
    return compare_exchange_strong(expected, desired, order, failure, file, line);
}

bool model_cell::compare_exchange_strong(std::int32_t& expected, std::int32_t desired, std::memory_order success,
                                         std::memory_order failure, const char* file, int line)
{
    if (!replaying())
        reach({kind::rmw, var, desired, success, point_of(file, line), rmw_op::cas, expected, failure});
    const std::int32_t old = replayed();
    if (old == expected)
        return true;
    expected = old;
    return false;
}

void model_fence(std::memory_order order, const char* file, int line)
{
    if (!replaying())
        reach({kind::fence, 0, 0, order, point_of(file, line)});
}

void model_inside()
{
    if (!replaying())
        reach({kind::inside});
}

exploration explore(memory_model model, void (*program)(std::int32_t self), std::int32_t threads,
                    const std::vector<model_cell*>& cells, const wanted_end& wanted)
{
    search s{model, program, cells, {}, false};
    exploration result = explored(s, threads, wanted);
    if (model == memory_model::cpp && !s.weaker) {
        // Every access was seq_cst: the language promises the interleavings.
        search plain{memory_model::interleaving, program, cells, {}, false};
        result = explored(plain, threads, wanted);
    }
    return result;
}
