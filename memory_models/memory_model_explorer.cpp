// The explorer: a depth-first search over the states a memory model lets the
// program reach, each state met once, however many schedules lead to it, and
// kept only as a compact key in the set of those seen. Where one thread's
// next step can neither affect nor be affected by anything the others do, it
// alone is taken, not also every other thread's step before it: both orders
// lead to the same state, so only one need be tried (a partial-order
// reduction with persistent sets); and under x86-TSO a store buffer drains
// only when a step about to be made could see it drain. That leaves out
// paths, never an end a run can reach; the shortest run to a state of
// interest is then found apart, over every order of steps.
#include "memory_model_explorer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <map>
#include <numeric>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace {

constexpr int max_stores = 16;   // per thread: a store's number must fit the write numbering

// States are made and dropped by the hundred thousand, each with a dozen
// short lists: their memory comes from lists of free blocks, one for each
// size up to a kilobyte, kept by the thread, rather than from malloc each
// time. The blocks go back to those lists, never to malloc. (Under
// AddressSanitizer, from malloc after all, so that it sees every list.)
struct free_blocks {
    static constexpr std::size_t granule = 16;
    static constexpr std::size_t sizes = 64;
    std::array<void*, sizes + 1> first{};
};

inline thread_local free_blocks pool;

#ifdef __SANITIZE_ADDRESS__
constexpr bool pooling = false;
#else
constexpr bool pooling = true;
#endif

void* take_block(std::size_t bytes)
{
    const std::size_t size = (bytes + free_blocks::granule - 1) / free_blocks::granule;
    if (pooling && size <= free_blocks::sizes && pool.first[size] != nullptr) {
        void* block = pool.first[size];
        std::memcpy(&pool.first[size], block, sizeof(void*));
        return block;
    }
    return ::operator new(size <= free_blocks::sizes ? size * free_blocks::granule : bytes);
}

void give_block(void* block, std::size_t bytes)
{
    const std::size_t size = (bytes + free_blocks::granule - 1) / free_blocks::granule;
    if (pooling && size <= free_blocks::sizes) {
        std::memcpy(block, &pool.first[size], sizeof(void*));
        pool.first[size] = block;
        return;
    }
    ::operator delete(block);
}

template <class T>
struct pooled {
    using value_type = T;
    pooled() = default;
    template <class U>
    explicit pooled(const pooled<U>& /*other*/) noexcept
    {
    }
    T* allocate(std::size_t n) { return static_cast<T*>(take_block(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) noexcept { give_block(p, n * sizeof(T)); }
    friend bool operator==(const pooled& /*a*/, const pooled& /*b*/) { return true; }
};

// A state's lists.
template <class T>
using list_of = std::vector<T, pooled<T>>;
using list = list_of<int>;

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
};

struct thread_state {
    // The writes its loads read, and the values they returned, each list
    // by its number in the search's table of such lists.
    int history = 0;
    int said = 0;
    // Its loads and fences since its last other step: where each stands, and
    // what it read (-1 for a fence).
    list_of<std::pair<std::uint64_t, int>> pass;
    list buffer;          // x86-TSO: its stores not yet in memory, oldest first
    list view;            // C++: per variable, the latest write it has seen
    list released;        // C++: its view at its last release fence; empty before one
    list acquired;        // C++: the views carried by the writes it read, joined; for an acquire fence
    int actions = 0;
    int stores = 0;
    bool inside = false;
    bool finished = false;
    // Its next step, found again only after it moves: what it has read so
    // far decides it, so it is no part of the state's key.
    action next{};
    bool stale = true;
};

struct state {
    list_of<thread_state> threads;
    list_of<write> writes;
    // Per variable, its writes in coherence order. Under interleaving and
    // x86-TSO, memory holds the last.
    list_of<list> order;
    // C++: by write, the view it hands to an acquiring reader, by its number
    // in the search's table of views; 0 for none.
    list views;
    list sc_view;   // C++: the view the seq_cst fences hand on, one to the next
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

struct numbers_hash {
    std::size_t operator()(const std::vector<std::int32_t>& numbers) const
    {
        const std::uint64_t h = std::accumulate(numbers.begin(), numbers.end(), std::uint64_t{0xcbf29ce484222325U},
                                                [](std::uint64_t sum, std::int32_t n) {
                                                    return (sum ^ static_cast<std::uint32_t>(n)) * 0x100000001b3U;
                                                });
        return h ^ (h >> 29);
    }
};

struct search {
    memory_model model;
    void (*program)(std::int32_t);
    std::vector<model_cell*> cells;
    // (thread, steps made, the number of what its loads returned) -> next step
    std::unordered_map<std::vector<std::int32_t>, action, numbers_hash> known;
    bool weaker = false;                                  // whether any access or fence was not seq_cst
    std::unordered_map<std::uint64_t, std::uint64_t> points{};   // where in the source -> a small number of its own
    // C++: every view a write has carried, each once, numbered; a write's
    // view never changes, so a state need keep only its number.
    std::vector<list> view_table{list{}};
    std::unordered_map<std::vector<int>, int, numbers_hash> view_numbers{};
    // The key of `known` being looked up, kept so that a lookup allocates nothing.
    std::vector<std::int32_t> probe{};
    // Every list of writes a thread has read, numbered, and every list of
    // values its loads returned, which decide its next step: a state keeps
    // the numbers rather than the lists, which grow with every load.
    struct lists {
        // By number, the list's last number and the number of the list
        // before it; 0 is the empty list.
        std::vector<std::pair<int, std::int32_t>> ends{{0, 0}};
        std::unordered_map<std::uint64_t, int> numbers{};
    };
    lists histories{};
    lists values{};
};

// The number of the list that is list LIST of TABLE, then N.
int number_after(search::lists& table, int list, std::int32_t n)
{
    const std::uint64_t entry = static_cast<std::uint64_t>(static_cast<std::uint32_t>(list)) << 32 | static_cast<std::uint32_t>(n);
    const auto [at, added] = table.numbers.try_emplace(entry, static_cast<int>(table.ends.size()));
    if (added)
        table.ends.emplace_back(list, n);
    return at->second;
}

// List LIST of TABLE, in full.
std::vector<std::int32_t> list_of_numbers(const search::lists& table, int list)
{
    std::vector<std::int32_t> numbers;
    for (; list != 0; list = table.ends[static_cast<std::size_t>(list)].first)
        numbers.push_back(table.ends[static_cast<std::size_t>(list)].second);
    std::reverse(numbers.begin(), numbers.end());
    return numbers;
}

// The number of VIEW in the table of views, added if it is new.
int number_of(search& s, const list& view)
{
    const auto [at, added] = s.view_numbers.try_emplace(std::vector<int>(view.begin(), view.end()), static_cast<int>(s.view_table.size()));
    if (added)
        s.view_table.push_back(view);
    return at->second;
}

action next_action(search& s, std::int32_t self, const thread_state& t)
{
    std::vector<std::int32_t>& key = s.probe;
    key.assign({self, t.actions, t.said});
    const auto found = s.known.find(key);
    if (found != s.known.end())
        return found->second;
    const std::vector<std::int32_t> seen = list_of_numbers(s.values, t.said);
    replay r{&seen, t.actions};
    running = &r;
    try {
        s.program(self);
    } catch (const reached&) {
    } catch (...) {
        running = nullptr;
        throw;
    }
    running = nullptr;
    action& a = r.next;
    // A place in the source is a long number; a step keeps a short one.
    a.point = s.points.try_emplace(a.point, s.points.size()).first->second;
    if (a.what != kind::finished && (a.order != std::memory_order_seq_cst || (a.op == rmw_op::cas && a.failure != std::memory_order_seq_cst)))
        s.weaker = true;
    s.known.emplace(key, a);
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
std::size_t position(const list& coherence, int w)
{
    return static_cast<std::size_t>(std::find(coherence.begin(), coherence.end(), w) - coherence.begin());
}

// Joins view FROM into view INTO: for each variable, the later of the two
// writes in coherence order. Returns whether INTO changed.
bool join(list& into, const list& from, const state& st)
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
bool splits_rmw(const state& st, const list& coherence, std::size_t at)
{
    return at > 0 && at < coherence.size() && st.writes[static_cast<std::size_t>(coherence[at])].rmw_of == coherence[at - 1];
}

// Whether the thread's loads since its last other step end with the same
// pass twice over: the same places, reading the same writes.
bool repeats(const list_of<std::pair<std::uint64_t, int>>& pass)
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
    t.stale = true;
    return next;
}

// The writes a load (or a read-modify-write) of VAR by thread t may read:
// under interleaving, the latest; under x86-TSO its own newest buffered store
// to VAR, else memory's; under C++ any not older than its view.
// They are seen in place, in ST.
std::span<const int> readable(const search& s, const state& st, const thread_state& t, int var, bool& buffered)
{
    const auto& coherence = st.order[static_cast<std::size_t>(var)];
    buffered = false;
    if (s.model == memory_model::x86_tso) {
        const auto own = std::find_if(t.buffer.rbegin(), t.buffer.rend(),
                                      [&](int w) { return st.writes[static_cast<std::size_t>(w)].var == var; });
        if (own != t.buffer.rend()) {
            buffered = true;
            return {&*own, 1};
        }
    }
    if (s.model == memory_model::cpp)
        return std::span<const int>(coherence).subspan(position(coherence, t.view[static_cast<std::size_t>(var)]));
    return std::span<const int>(coherence).last(1);
}

// The step's thread reads write w, as a load or the read of a
// read-modify-write of ORDER; NEXT is the state after the step. Under C++
// the thread's view moves up to w and, for an acquire, takes on the view w
// carries.
void take(search& s, const state& st, state& next, int w, std::memory_order order, step& how)
{
    thread_state& n = next.threads[static_cast<std::size_t>(how.thread)];
    const write& got = st.writes[static_cast<std::size_t>(w)];
    n.history = number_after(s.histories, n.history, w);
    n.said = number_after(s.values, n.said, got.value);
    how.value = got.value;
    how.writer = got.thread;
    if (s.model != memory_model::cpp)
        return;
    const auto& coherence = st.order[static_cast<std::size_t>(got.var)];
    how.passed = w != coherence.back() ? st.writes[static_cast<std::size_t>(coherence.back())] : write{};
    n.view[static_cast<std::size_t>(got.var)] = w;
    const list& carried = s.view_table[static_cast<std::size_t>(st.views[static_cast<std::size_t>(w)])];
    join(n.acquired, carried, next);
    how.synced = is_acquire(order) && join(n.view, carried, next);
}

// Its thread makes write w, MADE, with ORDER, at AT in the variable's
// coherence order (under x86-TSO, unless DIRECT, into its store buffer
// instead). Under C++ the write carries the thread's view if it releases,
// else the view at its last release fence, joined with CARRIED.
void make(search& s, state& next, int w, const write& made, std::memory_order order, std::size_t at, bool direct,
          const list& carried)
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
    // A copy: CARRIED may be in the table, which the new view may move.
    list view = carried;
    join(view, is_release(order) ? n.view : n.released, next);
    if (!view.empty())
        view[var] = w;
    next.views[static_cast<std::size_t>(w)] = number_of(s, view);
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
        make(s, next, write_number(s, self, t), {a.var, *how.stored, self, w}, a.order, at, true,
             s.model == memory_model::cpp ? s.view_table[static_cast<std::size_t>(st.views[static_cast<std::size_t>(w)])] : list{});
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
    const action& a = st.threads[static_cast<std::size_t>(self)].next;
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

// Finds the next step of each thread that has moved, and marks each thread
// whose program has returned as finished.
void settle(search& s, state& st)
{
    for (std::size_t i = 0; i < st.threads.size(); i++) {
        thread_state& t = st.threads[i];
        if (!t.stale)
            continue;
        t.next = next_action(s, static_cast<std::int32_t>(i), t);
        t.finished = t.next.what == kind::finished;
        t.stale = false;
    }
}

// Keys are strings of small numbers, each in as few bytes as it needs: seven
// bits a byte, the top bit set on all bytes but the last, and the sign in
// the lowest bit, so that -1 takes one byte too. Made in a buffer first,
// sized for the longest numbers, then copied once.
struct packer {
    std::vector<unsigned char> buffer;
    std::size_t used = 0;
};

void put(packer& key, std::int64_t v)
{
    const auto bits = static_cast<std::uint64_t>(v);
    auto u = v < 0 ? ~(bits << 1) : bits << 1;
    unsigned char* at = key.buffer.data() + key.used;
    while (u >= 0x80) {
        *at++ = static_cast<unsigned char>(u | 0x80);
        u >>= 7;
    }
    *at++ = static_cast<unsigned char>(u);
    key.used = static_cast<std::size_t>(at - key.buffer.data());
}

void put(packer& key, const list& numbers)
{
    put(key, static_cast<std::int64_t>(numbers.size()));
    for (const int v : numbers) {
        // Most are write numbers, far below 64: one byte, its sign bit clear.
        if (v >= 0 && v < 64)
            key.buffer[key.used++] = static_cast<unsigned char>(v << 1);
        else
            put(key, v);
    }
}

// How many numbers key_of puts for ST, at most.
std::size_t numbers_in(const state& st)
{
    const auto lists = [](std::size_t n, const list& l) { return n + 1 + l.size(); };
    const auto threads = [](std::size_t n, const thread_state& t) {
        return n + 10 + t.buffer.size() + t.view.size() + t.released.size() + t.acquired.size() + 2 * t.pass.size();
    };
    const std::size_t n = std::accumulate(st.threads.begin(), st.threads.end(), 2 + st.sc_view.size(), threads);
    return std::accumulate(st.order.begin(), st.order.end(), lists(n, st.views), lists);
}

// Everything that decides what can happen next, and what has happened so far;
// good until the next call.
std::string_view key_of(const state& st)
{
    static thread_local packer key;
    const std::size_t longest = 10 * numbers_in(st);
    if (key.buffer.size() < longest)
        key.buffer.resize(longest);
    key.used = 0;
    put(key, st.both_inside);
    for (const thread_state& t : st.threads) {
        put(key, t.actions);
        put(key, t.stores);
        put(key, t.inside);
        put(key, t.finished);
        put(key, t.history);
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
    // What each write is, the thread that made it has read: which writes
    // of the others, which were made by what those threads read, and so
    // on back to the initial values. Only the views they carry are more.
    // Of the views the writes carry, only those of the writes made so far:
    // the others have none, as the threads' counts of their stores tell.
    if (!st.views.empty()) {
        const std::size_t vars = st.order.size();
        for (std::size_t v = 0; v < vars; v++)
            put(key, st.views[v]);
        for (std::size_t i = 0; i < st.threads.size(); i++) {
            for (int k = 0; k < st.threads[i].stores; k++)
                put(key, st.views[vars + i * max_stores + static_cast<std::size_t>(k)]);
        }
    }
    for (const auto& o : st.order)
        put(key, o);
    put(key, st.sc_view);
    return {reinterpret_cast<const char*>(key.buffer.data()), key.used};
}

// The set of the keys of the states met, each kept once in one of some
// strings of a megabyte, and found by a hash in an open table of their
// places, half empty at most: no allocation for each key, and only a few
// bytes beside it. A string full, the next is begun rather than the keys
// copied into a longer one. Each key has a number, in the order they came.
struct key_set {
    static constexpr std::size_t block = std::size_t{1} << 20;
    struct slot {
        std::uint64_t hash = 0;
        std::uint32_t in = 0;      // the string of `keys` it is in
        std::uint32_t at = 0;      // where in that string it starts
        std::uint32_t size = 0;
        std::uint32_t number = 0;  // 0 for an empty slot, else the key's number + 1
    };
    std::vector<std::string> keys;
    std::size_t bytes = 0;         // in all the keys
    std::vector<slot> slots = std::vector<slot>(1024);
    std::uint32_t count = 0;
};

std::uint64_t hash_of(std::string_view key)
{
    // FNV-1a, eight bytes at a time, then mixed (the finaliser of MurmurHash3).
    std::uint64_t h = 0xcbf29ce484222325U ^ key.size();
    std::size_t i = 0;
    for (; i + 8 <= key.size(); i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, key.data() + i, sizeof word);
        h = (h ^ word) * 0x100000001b3U;
    }
    for (; i < key.size(); i++)
        h = (h ^ static_cast<unsigned char>(key[i])) * 0x100000001b3U;
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdU;
    h ^= h >> 33;
    return h;
}

// Finds KEY, or adds it; returns its number, and whether it was added.
std::pair<std::uint32_t, bool> find_or_add(key_set& set, std::string_view key)
{
    const std::uint64_t h = hash_of(key);
    std::size_t mask = set.slots.size() - 1;
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
        key_set::slot& at = set.slots[i];
        if (at.number == 0)
            break;
        if (at.hash == h && at.size == key.size() && std::string_view(set.keys[at.in]).substr(at.at, at.size) == key)
            return {at.number - 1, false};
    }
    if (2 * (static_cast<std::size_t>(set.count) + 1) > set.slots.size()) {
        std::vector<key_set::slot> grown(2 * set.slots.size());
        mask = grown.size() - 1;
        for (const key_set::slot& old : set.slots) {
            if (old.number == 0)
                continue;
            std::size_t i = old.hash & mask;
            while (grown[i].number != 0)
                i = (i + 1) & mask;
            grown[i] = old;
        }
        set.slots = std::move(grown);
    }
    std::size_t i = h & mask;
    while (set.slots[i].number != 0)
        i = (i + 1) & mask;
    if (set.keys.empty() || set.keys.back().size() + key.size() > set.keys.back().capacity()) {
        set.keys.emplace_back();
        set.keys.back().reserve(std::max(key_set::block, key.size()));
    }
    std::string& last = set.keys.back();
    set.slots[i] = {h, static_cast<std::uint32_t>(set.keys.size() - 1), static_cast<std::uint32_t>(last.size()),
                    static_cast<std::uint32_t>(key.size()), ++set.count};
    last.append(key);
    set.bytes += key.size();
    return {set.count - 1, true};
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

// The moves of the search: each thread's next step, numbered by thread,
// then under x86-TSO each store buffer's drain, numbered after them.
int moves(const search& s, const state& st)
{
    const auto threads = static_cast<int>(st.threads.size());
    return s.model == memory_model::x86_tso ? 2 * threads : threads;
}

// Every state move m leads to from ST, one for each choice the move has
// (which write a load reads, say); none when it cannot be made.
void moves_of(search& s, const state& st, int m, std::vector<std::pair<state, step>>& out)
{
    const auto threads = static_cast<int>(st.threads.size());
    if (m < threads) {
        if (!st.threads[static_cast<std::size_t>(m)].finished)
            steps_of(s, st, m, out);
        return;
    }
    const int self = m - threads;
    const auto& buffer = st.threads[static_cast<std::size_t>(self)].buffer;
    if (buffer.empty())
        return;
    state drained = st;
    const int w = buffer.front();
    const write& made = st.writes[static_cast<std::size_t>(w)];
    auto& b = drained.threads[static_cast<std::size_t>(self)].buffer;
    b.erase(b.begin());
    drained.order[static_cast<std::size_t>(made.var)].push_back(w);
    step how{kind::drain, self, made.var, made.value};
    out.emplace_back(std::move(drained), how);
}

// Every state one step leads to from ST, in the order a breadth-first
// search takes them.
void successors(search& s, const state& st, std::vector<std::pair<state, step>>& out)
{
    for (int m = 0; m < moves(s, st); m++)
        moves_of(s, st, m, out);
}

// Whether thread self's next step touches nothing another thread's step
// reads or writes, whatever the others do first: then taking it first
// leaves out no end a run can reach. Under x86-TSO a release or relaxed
// store goes into the thread's own buffer, and its drain is a step apart;
// fences change only the thread's own view, but for the language's seq_cst
// fences, which share one. A thread inside leaves with its next step, which
// another thread entering reads.
bool alone(const search& s, const state& st, std::int32_t self)
{
    const thread_state& t = st.threads[static_cast<std::size_t>(self)];
    if (t.finished || t.inside)
        return false;
    switch (t.next.what) {
    case kind::store:
        return s.model == memory_model::x86_tso && t.next.order != std::memory_order_seq_cst;
    case kind::fence:
        return s.model != memory_model::cpp || t.next.order != std::memory_order_seq_cst;
    default:
        return false;
    }
}

// What a move reads and writes of what the threads share, a bit each: each
// variable (in memory, or its stores in coherence order), each thread's
// store buffer, whether threads are inside, and the view the language's
// seq_cst fences share. Two moves neither of which writes what the other
// touches lead to the same state in either order, and neither stops the
// other. Past the bits there are, variables and buffers share the last
// ones, which only makes more moves seem to meet.
struct footprint {
    std::uint64_t reads = 0;
    std::uint64_t writes = 0;
};

constexpr int buffer_bits = 58;
constexpr std::uint64_t inside_bit = std::uint64_t{1} << 62;
constexpr std::uint64_t sc_fence_bit = std::uint64_t{1} << 63;

std::uint64_t var_bit(int var)
{
    return std::uint64_t{1} << std::min(var, buffer_bits - 1);
}

std::uint64_t buffer_bit(int thread)
{
    return std::uint64_t{1} << (buffer_bits + std::min(thread, 3));
}

// Whether thread t's store buffer holds a store to VAR.
bool holds(const state& st, const thread_state& t, int var)
{
    return std::any_of(t.buffer.begin(), t.buffer.end(), [&](int w) { return st.writes[static_cast<std::size_t>(w)].var == var; });
}

footprint footprint_of(const search& s, const state& st, int m)
{
    const auto threads = static_cast<int>(st.threads.size());
    footprint f;
    if (m >= threads) {
        const int self = m - threads;
        const int w = st.threads[static_cast<std::size_t>(self)].buffer.front();
        f.writes = buffer_bit(self) | var_bit(st.writes[static_cast<std::size_t>(w)].var);
        return f;
    }
    const thread_state& t = st.threads[static_cast<std::size_t>(m)];
    const action& a = t.next;
    const bool tso = s.model == memory_model::x86_tso;
    if (t.inside)
        f.writes |= inside_bit;
    switch (a.what) {
    case kind::load:
        // Under x86-TSO a load of a variable its thread's buffer holds a store
        // to reads the newest such store, and still does after any one
        // drain, of its own buffer or another's; else it reads memory, where
        // no drain of its own buffer changes that variable.
        if (!tso || !holds(st, t, a.var))
            f.reads = var_bit(a.var);
        break;
    case kind::store:
        if (tso && a.order != std::memory_order_seq_cst) {
            f.writes |= buffer_bit(m);
        } else {
            f.reads = tso ? buffer_bit(m) : 0;
            f.writes |= var_bit(a.var);
        }
        break;
    case kind::rmw:
        f.reads = var_bit(a.var) | (tso ? buffer_bit(m) : 0);
        f.writes |= var_bit(a.var);
        break;
    case kind::fence:
        if (tso && a.order == std::memory_order_seq_cst)
            f.reads = buffer_bit(m);
        if (s.model == memory_model::cpp && a.order == std::memory_order_seq_cst)
            f.writes |= sc_fence_bit;
        break;
    case kind::inside:
        f.reads = inside_bit;
        f.writes |= inside_bit;
        break;
    case kind::drain:
    case kind::finished:
        break;
    }
    return f;
}

bool independent(const footprint& a, const footprint& b)
{
    return (a.writes & (b.reads | b.writes)) == 0 && (b.writes & a.reads) == 0;
}

// Under x86-TSO, when no thread's step is taken alone: the moves to take,
// which are every thread's step and the drains of the buffers that a step
// about to be made needs drained. A drain matters only to a step that reads
// or writes its variable in memory, to one that waits for its own buffer to
// empty, and to another drain of its variable. So a buffer is needed when
// its thread's next step waits for it, when another thread's next step
// reads or writes memory at one of its variables, and when it holds a
// variable a needed buffer holds. The drains of the other buffers touch
// nothing any of those moves touch, nor do they, one after another, change
// a load's result or whether it is cut: taken later, when some step needs
// them, they lead to the same ends (the moves taken form a persistent set).
// With no thread left to move, every buffer drains.
std::uint32_t needed_moves(const state& st)
{
    const auto threads = static_cast<int>(st.threads.size());
    std::uint32_t chosen = (1U << threads) - 1;
    if (std::all_of(st.threads.begin(), st.threads.end(), [](const thread_state& t) { return t.finished; }))
        return chosen | chosen << threads;
    std::array<std::uint64_t, max_threads> held{};   // by thread, the variables its buffer holds
    std::array<std::uint64_t, max_threads> met{};    // by thread, those the others' next steps meet in memory
    for (std::size_t t = 0; t < st.threads.size(); t++) {
        for (const int w : st.threads[t].buffer)
            held[t] |= var_bit(st.writes[static_cast<std::size_t>(w)].var);
        const action& a = st.threads[t].next;
        if (st.threads[t].finished)
            continue;
        const bool sc = a.order == std::memory_order_seq_cst;
        if (a.what == kind::rmw || (a.what == kind::store && sc) || (a.what == kind::fence && sc))
            chosen |= 1U << (threads + static_cast<int>(t));
        if (a.what != kind::load && a.what != kind::rmw && (a.what != kind::store || !sc))
            continue;
        for (std::size_t other = 0; other < st.threads.size(); other++) {
            if (other != t)
                met[other] |= var_bit(a.var);
        }
    }
    std::uint64_t needed_vars = 0;
    for (bool grew = true; grew;) {
        grew = false;
        for (std::size_t t = 0; t < st.threads.size(); t++) {
            const std::uint32_t drain = 1U << (threads + static_cast<int>(t));
            if ((chosen & drain) == 0 && (held[t] & (met[t] | needed_vars)) != 0)
                chosen |= drain;
            if ((chosen & drain) != 0 && (held[t] & ~needed_vars) != 0) {
                needed_vars |= held[t];
                grew = true;
            }
        }
    }
    return chosen;
}

// The depth of a run's end none of whose steps is reachable, for a state from
// which no wanted end is.
constexpr int unreachable = INT32_MAX;

// Per execution (what each load read, and each variable's coherence order):
// whether two threads were inside at once, and its outcome.
struct ending {
    bool both_inside = false;
    std::vector<std::int32_t> outcome;
};

// What the search keeps of a state it has met: the depth of the nearest
// wanted end reachable from it, and the moves asleep when it was met (a
// bit for each move), which were not taken from it.
struct met {
    int nearest = unreachable;
    std::uint32_t asleep = 0;
    std::uint32_t chosen = 0;   // the moves the search takes from it, asleep or not
};

struct walk {
    search& s;
    const wanted_end& wanted;
    key_set seen;
    std::vector<met> states;   // by key number
    std::map<std::vector<int>, ending> endings;
    // Whether moves may sleep: not when the nearest wanted end from each
    // state is needed, which a state's moves asleep would hide.
    bool sleeping;
};

// Records the end of a run at ST, which has nothing left to do; returns its
// depth if it is a wanted end.
int finish(walk& w, const state& st, int depth)
{
    // A state with nothing left to do and a thread not finished is where a
    // spinning thread's pass was cut: what follows it is found from the
    // state before that pass.
    if (!std::all_of(st.threads.begin(), st.threads.end(), [](const thread_state& t) { return t.finished; }))
        return unreachable;
    std::vector<int> signature;
    ending end{st.both_inside, {}};
    for (const thread_state& t : st.threads) {
        const std::vector<std::int32_t> read = list_of_numbers(w.s.histories, t.history);
        signature.insert(signature.end(), read.begin(), read.end());
        signature.push_back(-1);
        const std::vector<std::int32_t> seen = list_of_numbers(w.s.values, t.said);
        end.outcome.insert(end.outcome.end(), seen.begin(), seen.end());
    }
    for (const auto& o : st.order) {
        signature.insert(signature.end(), o.begin(), o.end());
        signature.push_back(-1);
        end.outcome.push_back(st.writes[static_cast<std::size_t>(o.back())].value);
    }
    const bool is_wanted = w.wanted && w.wanted(end.outcome);
    ending& known = w.endings[signature];
    end.both_inside = end.both_inside || known.both_inside;
    known = std::move(end);
    return is_wanted ? depth : unreachable;
}

int arrive(walk& w, state& st, int depth, std::uint32_t asleep);

// Takes the moves in CHOSEN from ST, DEPTH steps from the start, with the
// moves in ASLEEP asleep: a move taken after another that it cannot meet
// need not be taken again after it, and sleeps in what follows it (sleep
// sets). FIRST, when given, holds what the first move taken leads to.
// Returns the depth of the nearest wanted end reachable, and counts in
// TAKEN the moves that could be made.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the moves to take and those asleep are both sets of moves
int take_moves(walk& w, const state& st, int depth, std::uint32_t chosen, std::uint32_t asleep,
               std::vector<std::pair<state, step>>& next, int& taken)
{
    const int count = moves(w.s, st);
    int nearest = unreachable;
    for (int m = 0; m < count && chosen != 0; m++) {
        if ((chosen >> m & 1U) == 0)
            continue;
        chosen &= ~(1U << m);
        if (next.empty())
            moves_of(w.s, st, m, next);
        if (next.empty())
            continue;
        taken++;
        std::uint32_t sleeps = 0;
        if (w.sleeping) {
            const footprint made = footprint_of(w.s, st, m);
            for (int other = 0; other < count; other++) {
                if ((asleep >> other & 1U) != 0 && independent(made, footprint_of(w.s, st, other)))
                    sleeps |= 1U << other;
            }
            asleep |= 1U << m;
        }
        // Taken from the list, so that the next move finds it empty.
        std::vector<std::pair<state, step>> made = std::move(next);
        next.clear();
        for (auto& [after, how] : made)
            nearest = std::min(nearest, arrive(w, after, depth + 1, sleeps));
    }
    return nearest;
}

// Visits ST, DEPTH steps from the start (every run to a state takes as many
// steps), with the moves in ASLEEP asleep. A state met before is taken up
// again only for the moves that slept then and are awake now. Returns the
// depth of the nearest wanted end reachable from it.
int arrive(walk& w, state& st, int depth, std::uint32_t asleep)
{
    settle(w.s, st);
    const auto [number, fresh] = find_or_add(w.seen, key_of(st));
    std::vector<std::pair<state, step>> next;
    int taken = 0;
    if (!fresh) {
        met& here = w.states[number];
        // Only moves of those it takes from the state at all: the others
        // are left out by the persistent set, whatever sleeps.
        const std::uint32_t woken = here.asleep & ~asleep & here.chosen;
        if (woken == 0)
            return here.nearest;
        here.asleep &= asleep;
        const int nearest = here.nearest;
        return std::min(nearest, take_moves(w, st, depth, woken, here.asleep, next, taken));
    }
    if (static_cast<std::int64_t>(w.seen.count) > max_states || static_cast<std::int64_t>(w.seen.bytes) > max_state_bytes)
        throw std::length_error("the exploration passed the explorer's limit of states");
    w.states.push_back({unreachable, asleep, 0});
    const int count = moves(w.s, st);
    const std::uint32_t every = (1U << count) - 1;
    // One thread's step that nothing else can meet is taken alone (a
    // persistent set), if it can be made; else every move.
    std::uint32_t chosen = every;
    for (int self = 0; self < static_cast<int>(st.threads.size()); self++) {
        if (alone(w.s, st, self)) {
            moves_of(w.s, st, self, next);
            if (!next.empty()) {
                chosen = 1U << self;
                break;
            }
        }
    }
    if (chosen == every && w.s.model == memory_model::x86_tso)
        chosen = needed_moves(st);
    w.states[number].chosen = chosen;
    if ((chosen & asleep) != 0)
        next.clear();
    int nearest = take_moves(w, st, depth, chosen & ~asleep, asleep, next, taken);
    // Moves asleep can be made: with none, and none taken, the run ends here.
    if (taken == 0 && asleep == 0 && chosen == every)
        nearest = finish(w, st, depth);
    w.states[number].nearest = nearest;
    return nearest;
}

// Follows every path from ST, DEPTH steps from the start, to its end, as
// the plainest search would: no state met twice is known again, and no step
// is left out. COUNT counts the steps taken.
void every_path(walk& w, state& st, int depth, std::int64_t& count)
{
    settle(w.s, st);
    std::vector<std::pair<state, step>> next;
    successors(w.s, st, next);
    if (next.empty()) {
        finish(w, st, depth);
        return;
    }
    for (auto& [after, how] : next) {
        if (++count > max_states)
            throw std::length_error("the exploration passed the explorer's limit of states");
        every_path(w, after, depth + 1, count);
    }
}

// The shortest run from START into two threads inside at once, breadth
// first over every order of steps, up to the first state found with both
// inside; among the shortest, the one whose choices come first in the order
// of the steps.
std::vector<step> shortest_into_both(search& s, state start)
{
    std::vector<node> nodes;
    std::unordered_set<std::string> seen{std::string(key_of(start))};
    nodes.push_back({std::move(start), -1, {}});
    std::vector<std::pair<state, step>> next;
    for (std::size_t i = 0; i < nodes.size(); i++) {
        const state st = std::move(nodes[i].now);
        nodes[i].now = {};
        next.clear();
        successors(s, st, next);
        for (auto& [after, how] : next) {
            settle(s, after);
            if (!seen.emplace(key_of(after)).second)
                continue;
            nodes.push_back({std::move(after), static_cast<int>(i), how});
            if (!nodes.back().now.both_inside)
                continue;
            std::vector<step> run;
            for (auto at = static_cast<int>(nodes.size()) - 1; at > 0; at = nodes[static_cast<std::size_t>(at)].parent)
                run.push_back(nodes[static_cast<std::size_t>(at)].how);
            std::reverse(run.begin(), run.end());
            return run;
        }
    }
    return {};
}

// The shortest run from START to a wanted end, NEAREST steps long: at each
// state the first step, in the order of the steps, from which such an end
// is that near. The reduced search leaves out steps, never a state's
// nearest wanted end, so a step it left out is followed by a search of its own.
std::vector<step> shortest_to_wanted(walk& w, state start, int nearest)
{
    std::vector<step> run;
    std::vector<std::pair<state, step>> next;
    for (state st = std::move(start);;) {
        next.clear();
        successors(w.s, st, next);
        bool moved_on = false;
        for (auto& [after, how] : next) {
            settle(w.s, after);
            if (arrive(w, after, static_cast<int>(run.size()) + 1, 0) == nearest) {
                run.push_back(how);
                st = std::move(after);
                moved_on = true;
                break;
            }
        }
        if (!moved_on)
            return run;
    }
}

exploration explored(search& s, std::int32_t threads, const wanted_end& wanted, bool plainly)
{
    // A move is a bit of a 32-bit set: each thread's step, and its buffer's drain.
    if (threads < 1 || threads > max_threads)
        throw std::length_error("more threads than the explorer runs");
    const std::size_t vars = s.cells.size();
    state start;
    start.writes.resize(vars + static_cast<std::size_t>(threads) * max_stores);
    start.order.resize(vars);
    if (s.model == memory_model::cpp)
        start.views.resize(start.writes.size());
    // Each thread starts having seen every initial value.
    thread_state fresh;
    for (std::size_t v = 0; v < vars; v++) {
        s.cells[v]->var = static_cast<int>(v);
        start.writes[v] = {static_cast<int>(v), s.cells[v]->initial};
        start.order[v] = {static_cast<int>(v)};
        if (s.model == memory_model::cpp)   // only the language's rules have views
            fresh.view.push_back(static_cast<int>(v));
    }
    start.threads.assign(static_cast<std::size_t>(threads), fresh);
    start.sc_view = fresh.view;
    settle(s, start);

    walk w{s, wanted, {}, {}, {}, true};
    state first = start;
    std::int64_t steps = 0;
    if (plainly)
        every_path(w, first, 0, steps);
    else
        arrive(w, first, 0, 0);
    exploration result;
    for (const auto& [signature, end] : w.endings) {
        result.executions++;
        result.both_inside += end.both_inside ? 1 : 0;
        result.wanted += wanted && wanted(end.outcome) ? 1 : 0;
        result.outcomes.push_back(end.outcome);
    }
    std::sort(result.outcomes.begin(), result.outcomes.end());
    result.outcomes.erase(std::unique(result.outcomes.begin(), result.outcomes.end()), result.outcomes.end());
    std::vector<step> run;
    if (plainly) {
        // No witness: this search is only for checking the other's counts.
    } else if (wanted && result.wanted != 0) {
        // Searched again without sleep sets, which would hide from a state
        // the nearest wanted end that a move asleep there leads to.
        walk again{s, wanted, {}, {}, {}, false};
        first = start;
        const int nearest = arrive(again, first, 0, 0);
        run = shortest_to_wanted(again, std::move(start), nearest);
    } else if (!wanted && result.both_inside != 0) {
        run = shortest_into_both(s, std::move(start));
    }
    for (const step& how : run)
        result.witness.push_back(described(s, how));
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

namespace {

exploration explored_under(memory_model model, void (*program)(std::int32_t self), std::int32_t threads,
                           const std::vector<model_cell*>& cells, const wanted_end& wanted, bool plainly)
{
    search s{model, program, cells, {}, false};
    exploration result = explored(s, threads, wanted, plainly);
    if (model == memory_model::cpp && !s.weaker) {
        // Every access was seq_cst: the language promises the interleavings.
        search plain{memory_model::interleaving, program, cells, {}, false};
        result = explored(plain, threads, wanted, plainly);
    }
    return result;
}

} // namespace

exploration explore(memory_model model, void (*program)(std::int32_t self), std::int32_t threads,
                    const std::vector<model_cell*>& cells, const wanted_end& wanted)
{
    return explored_under(model, program, threads, cells, wanted, false);
}

exploration explore_every_path(memory_model model, void (*program)(std::int32_t self), std::int32_t threads,
                               const std::vector<model_cell*>& cells, const wanted_end& wanted)
{
    return explored_under(model, program, threads, cells, wanted, true);
}
