#include "litmus_reader.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <stdexcept>

namespace {

// Thrown inside the reader only, and caught by read_test.
struct refused : std::runtime_error {
    int line;
    refused(int at, const std::string& what) : std::runtime_error(what), line(at) {}
};

// The test's text with its comments blanked out, line ends kept, so that
// every line number still points into the file as written.
std::string uncommented(std::string text)
{
    int line = 1;
    for (std::size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\n')
            line++;
        // A quoted doc string may hold "//" or "(*", as in a web address.
        if (text[i] == '"') {
            const std::size_t close = text.find('"', i + 1);
            line += static_cast<int>(std::count(text.begin() + static_cast<std::ptrdiff_t>(i),
                                                close == std::string::npos ? text.end() : text.begin() + static_cast<std::ptrdiff_t>(close), '\n'));
            i = close == std::string::npos ? text.size() : close;
            continue;
        }
        const std::string two = text.substr(i, 2);
        const char* end = two == "(*" ? "*)" : two == "/*" ? "*/" : two == "//" ? "\n" : nullptr;
        if (end == nullptr)
            continue;
        std::size_t stop = text.find(end, i + 2);
        if (stop == std::string::npos && two != "//")
            throw refused(line, "a comment that never ends");
        stop = stop == std::string::npos ? text.size() : stop + (two == "//" ? 0 : 2);
        for (; i < stop; i++) {
            if (text[i] == '\n')
                line++;
            else
                text[i] = ' ';
        }
        i--;
    }
    return text;
}

struct token {
    std::string text;   // empty at the end of the file
    int line;
    std::size_t at;     // where it starts in the text
};

bool word_char(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): where to start, then the line it is on
std::vector<token> tokens_of(const std::string& text, std::size_t from, int line)
{
    const int start = line;
    std::vector<token> out;
    for (std::size_t i = from; i < text.size();) {
        const char c = text[i];
        if (c == '\n')
            line++;
        if (std::isspace(static_cast<unsigned char>(c)) != 0) {
            i++;
            continue;
        }
        std::size_t end = i + 1;
        if (word_char(c)) {
            while (end < text.size() && word_char(text[end]))
                end++;
        } else if (text.compare(i, 2, "/\\") == 0 || text.compare(i, 2, "\\/") == 0) {
            end = i + 2;
        } else if (c == '"') {
            end = text.find('"', i + 1);
            if (end == std::string::npos)
                throw refused(line, "a quoted string that never ends");
            end++;
        }
        out.push_back({text.substr(i, end - i), line, i});
        line += static_cast<int>(std::count(out.back().text.begin(), out.back().text.end(), '\n'));
        i = end;
    }
    // What is missing at the end is missing from the last line written.
    out.push_back({"", out.empty() ? start : out.back().line, text.size()});
    return out;
}

// A token as a message can show it: a byte that is not printable by its code.
std::string shown(const token& t)
{
    if (t.text.empty())
        return "the end of the file";
    const auto odd = std::find_if(t.text.begin(), t.text.end(), [](char c) { return std::isprint(static_cast<unsigned char>(c)) == 0; });
    if (odd == t.text.end())
        return t.text;
    if (t.text[0] == '"')
        return "a quoted string";
    char code[16];
    static_cast<void>(std::snprintf(code, sizeof code, "a byte 0x%02x", static_cast<unsigned char>(*odd)));
    return code;
}

bool is_number(const std::string& s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

bool is_word(const std::string& s)
{
    return !s.empty() && std::isdigit(static_cast<unsigned char>(s[0])) == 0 && std::all_of(s.begin(), s.end(), word_char);
}

// Where the reader is, and what it has read so far.
struct reader {
    std::vector<token> tokens;
    std::size_t at = 0;
    litmus_test t{};
    std::vector<int> params{};   // the current thread's variables
    int depth = 0;               // of the condition's brackets and negations
};

const token& peek(const reader& r)
{
    return r.tokens[r.at];
}

const token& next(reader& r)
{
    const token& t = r.tokens[r.at];
    if (!t.text.empty())
        r.at++;
    return t;
}

[[noreturn]] void unexpected(const reader& r, const std::string& wanted)
{
    throw refused(peek(r).line, "expected " + wanted + " but found " + shown(peek(r)));
}

void expect(reader& r, const char* text)
{
    if (peek(r).text != text)
        unexpected(r, text);
    next(r);
}

bool accept(reader& r, const char* text)
{
    if (peek(r).text != text)
        return false;
    next(r);
    return true;
}

// A 32-bit value, with its sign.
std::int32_t value(reader& r)
{
    const bool negative = accept(r, "-");
    const token& t = next(r);
    if (!is_number(t.text))
        throw refused(t.line, "expected a number but found " + shown(t));
    long long v = 0;
    for (const char c : t.text) {
        v = v * 10 + (c - '0');
        if (v > 2147483648LL)
            break;
    }
    v = negative ? -v : v;
    if (v < INT32_MIN || v > INT32_MAX)
        throw refused(t.line, t.text + " does not fit in 32 bits");
    return static_cast<std::int32_t>(v);
}

int var_index(const litmus_test& t, const std::string& name)
{
    const auto found = std::find(t.vars.begin(), t.vars.end(), name);
    return found == t.vars.end() ? -1 : static_cast<int>(found - t.vars.begin());
}

int reg_index(const litmus_thread& th, const std::string& name)
{
    const auto found = std::find(th.registers.begin(), th.registers.end(), name);
    return found == th.registers.end() ? -1 : static_cast<int>(found - th.registers.begin());
}

// A variable of the test, given its initial value, or one met first in a
// thread's parameters, which starts at 0.
int add_var(litmus_test& t, const std::string& name, std::int32_t initial)
{
    t.vars.push_back(name);
    t.initial.push_back(initial);
    return static_cast<int>(t.vars.size()) - 1;
}

void initial_state(reader& r)
{
    expect(r, "{");
    while (!accept(r, "}")) {
        const bool bracketed = accept(r, "[");
        const token& name = next(r);
        if (!is_word(name.text))
            throw refused(name.line, "expected a variable but found " + shown(name));
        if (bracketed)
            expect(r, "]");
        expect(r, "=");
        if (var_index(r.t, name.text) >= 0)
            throw refused(name.line, name.text + " is given twice in the initial state");
        add_var(r.t, name.text, value(r));
        if (peek(r).text != "}")
            expect(r, ";");
    }
}

litmus_thread& current(reader& r)
{
    return r.t.threads.back();
}

bool is_param(const reader& r, int var)
{
    return std::find(r.params.begin(), r.params.end(), var) != r.params.end();
}

// Why NAME cannot stand where a value or a pointer is wanted.
[[noreturn]] void misplaced(const reader& r, const token& name, bool pointer_wanted)
{
    const int var = var_index(r.t, name.text);
    if (var >= 0 && !is_param(r, var))
        throw refused(name.line, name.text + " is not a parameter of P" + std::to_string(r.t.threads.size() - 1));
    if (var >= 0)
        throw refused(name.line, name.text + " is a pointer used as a value");
    if (pointer_wanted && reg_index(r.t.threads.back(), name.text) >= 0)
        throw refused(name.line, name.text + " is used as a pointer");
    if (!is_word(name.text))
        throw refused(name.line, "expected " + std::string(pointer_wanted ? "a variable" : "a value") + " but found " + shown(name));
    throw refused(name.line, name.text + " is not declared before it is used");
}

[[noreturn]] void plain_access(reader& r)
{
    const token& star = next(r);
    const std::string what = is_word(peek(r).text) ? "*" + peek(r).text : "*";
    throw refused(star.line, what + " is a plain access: only atomic accesses are explored");
}

int location(reader& r)
{
    if (peek(r).text == "*")
        plain_access(r);
    const token& name = next(r);
    const int var = var_index(r.t, name.text);
    if (var < 0 || !is_param(r, var))
        misplaced(r, name, true);
    return var;
}

operand operand_of(reader& r)
{
    const token& t = peek(r);
    if (t.text == "-" || is_number(t.text))
        return {value(r), -1};
    if (t.text == "*")
        plain_access(r);
    next(r);
    const int reg = reg_index(current(r), t.text);
    if (reg < 0)
        misplaced(r, t, false);
    return {0, reg};
}

int expected_register(reader& r)
{
    expect(r, "&");
    const token& name = next(r);
    const int reg = reg_index(current(r), name.text);
    if (reg < 0)
        misplaced(r, name, false);
    return reg;
}

struct order_name {
    const char* name;
    std::memory_order order;
};

std::memory_order order_of(reader& r)
{
    static const order_name orders[] = {{"memory_order_relaxed", std::memory_order_relaxed},
                  // Every compiler takes consume for acquire, and the explorer follows them.
                  {"memory_order_consume", std::memory_order_acquire},
                  {"memory_order_acquire", std::memory_order_acquire},
                  {"memory_order_release", std::memory_order_release},
                  {"memory_order_acq_rel", std::memory_order_acq_rel},
                  {"memory_order_seq_cst", std::memory_order_seq_cst}};
    const token& t = next(r);
    const auto* found = std::find_if(std::begin(orders), std::end(orders), [&t](const order_name& o) { return t.text == o.name; });
    if (found == std::end(orders))
        throw refused(t.line, "expected a memory order but found " + shown(t));
    return found->order;
}

struct call_form {
    const char* name;
    op kind;
    const char* args;   // l: a variable, v: a value, e: &register, o: an order
};

const call_form calls[] = {
    {"atomic_load_explicit", op::load, "lo"},
    {"atomic_load", op::load, "l"},
    {"atomic_store_explicit", op::store, "lvo"},
    {"atomic_store", op::store, "lv"},
    {"atomic_exchange_explicit", op::exchange, "lvo"},
    {"atomic_exchange", op::exchange, "lv"},
    {"atomic_fetch_add_explicit", op::fetch_add, "lvo"},
    {"atomic_fetch_add", op::fetch_add, "lv"},
    {"atomic_fetch_sub_explicit", op::fetch_sub, "lvo"},
    {"atomic_fetch_sub", op::fetch_sub, "lv"},
    {"atomic_compare_exchange_strong_explicit", op::cas, "levoo"},
    {"atomic_compare_exchange_strong", op::cas, "lev"},
    {"atomic_thread_fence", op::fence, "o"},
};

// The orders C leaves undefined for each kind of access.
void check_order(const token& call, const instruction& in)
{
    using mo = std::memory_order;
    const bool bad = (in.kind == op::load && (in.order == mo::release || in.order == mo::acq_rel)) ||
                     (in.kind == op::store && in.order != mo::relaxed && in.order != mo::release && in.order != mo::seq_cst) ||
                     (in.kind == op::cas && (in.failure == mo::release || in.failure == mo::acq_rel));
    if (bad)
        throw refused(call.line, call.text + " with that memory order is undefined");
}

instruction call(reader& r)
{
    const token& name = next(r);
    const auto* found = std::find_if(std::begin(calls), std::end(calls), [&name](const call_form& f) { return name.text == f.name; });
    if (found == std::end(calls))
        throw refused(name.line, name.text + " is an unknown call");
    const call_form& form = *found;
    instruction in{.kind = form.kind};
    expect(r, "(");
    const std::string args = form.args;
    for (std::size_t i = 0; i < args.size(); i++) {
        if (i > 0 && peek(r).text == ")")
            throw refused(peek(r).line, name.text + " takes " + std::to_string(args.size()) + " arguments");
        if (i > 0)
            expect(r, ",");
        if (args[i] == 'l')
            in.var = location(r);
        else if (args[i] == 'v')
            in.value = operand_of(r);
        else if (args[i] == 'e')
            in.expected = expected_register(r);
        else if (args[i] == 'o' && (i == 0 || args[i - 1] != 'o'))
            in.order = in.failure = order_of(r);
        else
            in.failure = order_of(r);
    }
    if (peek(r).text == ",")
        throw refused(peek(r).line, name.text + " takes " + std::to_string(args.size()) + " arguments");
    expect(r, ")");
    check_order(name, in);
    return in;
}

// What a register is set to: a constant, another register, or what a call returns.
instruction setting(reader& r)
{
    const token& t = peek(r);
    if (r.at + 1 < r.tokens.size() && r.tokens[r.at + 1].text == "(" && is_word(t.text)) {
        instruction in = call(r);
        if (in.kind == op::store || in.kind == op::fence)
            throw refused(t.line, t.text + " returns no value");
        return in;
    }
    instruction in{.kind = op::set, .value = operand_of(r)};
    // Enough arithmetic for a load and a store to make an increment.
    in.minus = peek(r).text == "-";
    if (accept(r, "+") || accept(r, "-"))
        in.addend = operand_of(r);
    return in;
}

void statement(reader& r)
{
    const token& t = peek(r);
    litmus_thread& th = current(r);
    static const char* const loops[] = {"while", "for", "do", "goto"};
    static const char* const branches[] = {"if", "else", "switch", "?"};
    if (std::find(std::begin(loops), std::end(loops), t.text) != std::end(loops))
        throw refused(t.line, "a loop: only straight-line code is explored");
    if (std::find(std::begin(branches), std::end(branches), t.text) != std::end(branches))
        throw refused(t.line, "an if: only straight-line code is explored");
    if (accept(r, ";"))
        return;
    if (t.text == "*")
        plain_access(r);
    if (r.at + 1 < r.tokens.size() && r.tokens[r.at + 1].text == "(" && is_word(t.text)) {
        th.code.push_back(call(r));
        expect(r, ";");
        return;
    }
    const bool declared = accept(r, "int");
    const token& name = next(r);
    if (!is_word(name.text))
        throw refused(name.line, "expected a statement but found " + shown(name));
    int reg = reg_index(th, name.text);
    const bool param = is_param(r, var_index(r.t, name.text));
    if (!declared && param)
        throw refused(name.line, "an assignment to " + name.text + ": only atomic accesses are explored");
    if (declared && (reg >= 0 || param))
        throw refused(name.line, name.text + " is declared twice");
    if (!declared && reg < 0)
        throw refused(name.line, name.text + " is not declared before it is used");
    expect(r, "=");
    instruction in = setting(r);
    expect(r, ";");
    if (declared) {
        th.registers.push_back(name.text);
        reg = static_cast<int>(th.registers.size()) - 1;
    }
    in.target = reg;
    th.code.push_back(in);
}

void thread(reader& r)
{
    accept(r, "void");
    const token& name = next(r);
    const std::string number = std::to_string(r.t.threads.size());
    if (r.t.threads.size() == 4)
        throw refused(name.line, "a fifth thread, " + shown(name) + ": the explorer runs at most four");
    if (name.text != "P" + number)
        throw refused(name.line, shown(name) + " where P" + number + " was expected");
    r.t.threads.emplace_back();
    r.params.clear();
    expect(r, "(");
    while (!accept(r, ")")) {
        if (!r.params.empty())
            expect(r, ",");
        accept(r, "volatile");
        const token& type = next(r);
        expect(r, "*");
        const token& param = next(r);
        if (!is_word(param.text))
            throw refused(param.line, "expected a parameter name but found " + shown(param));
        if (type.text == "int")
            throw refused(param.line, param.text + " is not atomic: only atomic_int* variables are explored");
        if (type.text != "atomic_int")
            throw refused(type.line, shown(type) + " is not a type the explorer runs: only atomic_int* variables are explored");
        const int known = var_index(r.t, param.text);
        if (is_param(r, known))
            throw refused(param.line, param.text + " is a parameter twice");
        r.params.push_back(known >= 0 ? known : add_var(r.t, param.text, 0));
    }
    expect(r, "{");
    while (!accept(r, "}")) {
        if (peek(r).text.empty())
            unexpected(r, "}");
        statement(r);
    }
}

int add_node(reader& r, const prop_node& n)
{
    // Long enough for any test of four threads; far too short to overflow the stack.
    if (r.t.prop.size() == 256)
        throw refused(peek(r).line, "the condition is too long");
    r.t.prop.push_back(n);
    return static_cast<int>(r.t.prop.size()) - 1;
}

int disjunction(reader& r);

// A leaf: N:REG=V, VAR=V or [VAR]=V.
int comparison(reader& r)
{
    const token& first = next(r);
    if (first.text.empty())
        throw refused(first.line, "the condition is not complete");
    prop_node leaf{};
    if (is_number(first.text) && accept(r, ":")) {
        const token& reg = next(r);
        if (!is_word(reg.text))
            throw refused(reg.line, "expected a register but found " + shown(reg));
        const std::size_t n = first.text.size() < 3 ? std::stoul(first.text) : 99;
        if (n >= r.t.threads.size())
            throw refused(first.line, first.text + ":" + reg.text + " names P" + first.text + ", which the test does not have");
        const int index = reg_index(r.t.threads[n], reg.text);
        if (index < 0)
            throw refused(reg.line, first.text + ":" + reg.text + " names a register P" + first.text + " never declares");
        leaf.kind = prop_node::reg;
        leaf.at = index;
        for (std::size_t i = 0; i < n; i++)
            leaf.at += static_cast<int>(r.t.threads[i].registers.size());
    } else {
        const bool bracketed = first.text == "[";
        const token& name = bracketed ? next(r) : first;
        if (bracketed)
            expect(r, "]");
        leaf.kind = prop_node::var;
        leaf.at = var_index(r.t, name.text);
        if (leaf.at < 0 && !is_word(name.text))
            throw refused(name.line, "expected a register or a variable but found " + shown(name));
        if (leaf.at < 0)
            throw refused(name.line, name.text + " is not a variable of the test");
        for (const litmus_thread& th : r.t.threads)
            leaf.at += static_cast<int>(th.registers.size());
    }
    if (peek(r).text.empty())
        throw refused(peek(r).line, "the condition is not complete");
    expect(r, "=");
    if (peek(r).text.empty())
        throw refused(peek(r).line, "the condition is not complete");
    leaf.value = value(r);
    return add_node(r, leaf);
}

int unary(reader& r)
{
    if (++r.depth > 100)
        throw refused(peek(r).line, "the condition is nested too deeply");
    int node = 0;
    if (accept(r, "~")) {
        node = add_node(r, {.kind = prop_node::negation, .left = unary(r)});
    } else if (accept(r, "(")) {
        node = disjunction(r);
        if (peek(r).text.empty())
            throw refused(peek(r).line, "the condition is not complete");
        expect(r, ")");
    } else if (accept(r, "true")) {
        node = add_node(r, {.kind = prop_node::truth});
    } else if (accept(r, "false")) {
        node = add_node(r, {.kind = prop_node::falsity});
    } else {
        node = comparison(r);
    }
    r.depth--;
    return node;
}

int conjunction(reader& r)
{
    int node = unary(r);
    while (accept(r, "/\\"))
        node = add_node(r, {.kind = prop_node::conjunction, .left = node, .right = unary(r)});
    return node;
}

int disjunction(reader& r)
{
    int node = conjunction(r);
    while (accept(r, "\\/"))
        node = add_node(r, {.kind = prop_node::disjunction, .left = node, .right = conjunction(r)});
    return node;
}

void condition(reader& r, const std::string& text)
{
    const token& first = peek(r);
    if (first.text.empty())
        throw refused(first.line, "no condition: a test ends with exists, ~exists or forall");
    const std::size_t from = first.at;
    if (accept(r, "~")) {
        if (peek(r).text != "exists")
            unexpected(r, "exists after ~");
        r.t.quantifier = litmus_test::not_exists;
    } else if (peek(r).text == "forall") {
        r.t.quantifier = litmus_test::forall;
    } else if (peek(r).text != "exists") {
        unexpected(r, r.t.threads.empty() ? "P0" : "a thread or the condition");
    }
    next(r);
    disjunction(r);
    if (!peek(r).text.empty())
        throw refused(peek(r).line, shown(peek(r)) + " after the end of the condition");
    for (std::size_t i = from; i < text.size(); i++) {
        const bool space = std::isspace(static_cast<unsigned char>(text[i])) != 0;
        if (!space)
            r.t.condition += text[i];
        else if (r.t.condition.back() != ' ')
            r.t.condition += ' ';
    }
    if (r.t.condition.back() == ' ')
        r.t.condition.pop_back();
}

// The name line, "C NAME": its name, and where the rest of the test starts.
std::size_t name_line(const std::string& text, litmus_test& t, int& line)
{
    std::size_t start = 0;
    for (line = 1; start < text.size(); line++) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::string words = text.substr(start, end - start);
        std::replace_if(words.begin(), words.end(), [](char c) { return c == '\t' || c == '\r'; }, ' ');
        words.erase(0, words.find_first_not_of(' '));
        words.erase(words.find_last_not_of(' ') + 1);
        if (words.empty()) {
            start = end + 1;
            continue;
        }
        const std::size_t gap = words.find(' ');
        const std::string arch = words.substr(0, gap);
        const std::string name = gap == std::string::npos ? "" : words.substr(words.find_first_not_of(' ', gap));
        // A name is one word of printable characters, any of them outside
        // ASCII (a name in UTF-8) included.
        const bool named = !name.empty() && name.find(' ') == std::string::npos &&
                           std::all_of(name.begin(), name.end(), [](char c) {
                               const auto u = static_cast<unsigned char>(c);
                               return u >= 0x80 || std::isgraph(u) != 0;
                           });
        if (arch == "C" && named) {
            t.name = name;
            return end;
        }
        if (arch == "C" && name.find(' ') != std::string::npos) {
            if (text.find('\n') == std::string::npos && text.find('\r') != std::string::npos)
                throw refused(line, "its lines end in a carriage return alone: only a line feed ends a line");
            throw refused(line, "the test's name, " + name.substr(0, name.find(' ')) + "..., is more than one word");
        }
        if (is_word(arch) && named)
            throw refused(line, "a test for " + arch + ": only C tests are explored");
        break;
    }
    throw refused(std::min(line, 1 + static_cast<int>(std::count(text.begin(), text.end(), '\n'))),
                  "not a litmus test: it does not begin with C and the test's name");
}

} // namespace

std::variant<litmus_test, refusal> read_test(const std::string& text)
{
    try {
        reader r{};
        const std::string plain = uncommented(text);
        int line = 0;
        const std::size_t from = name_line(plain, r.t, line);
        r.tokens = tokens_of(plain, from, line);
        // The doc string says what the test is for; it does not change the test.
        if (peek(r).text.compare(0, 1, "\"") == 0)
            next(r);
        initial_state(r);
        while (peek(r).text == "void" || (peek(r).text.size() > 1 && peek(r).text[0] == 'P' && is_number(peek(r).text.substr(1))))
            thread(r);
        if (r.t.threads.empty() && (peek(r).text == "exists" || peek(r).text == "forall" || peek(r).text == "~"))
            throw refused(peek(r).line, "no thread: a test has at least P0");
        condition(r, plain);
        return r.t;
    } catch (const refused& no) {
        return refusal{no.line, no.what()};
    }
}

int values_of(const litmus_thread& thread)
{
    return static_cast<int>(std::count_if(thread.code.begin(), thread.code.end(),
                                          [](const instruction& in) { return in.kind != op::set && in.kind != op::store && in.kind != op::fence; }));
}

namespace {

std::int32_t value_in(const operand& o, const std::vector<std::int32_t>& regs)
{
    return o.reg < 0 ? o.value : regs[static_cast<std::size_t>(o.reg)];
}

// What a set instruction computes, wrapping as the atomics do.
std::int32_t set_value(const instruction& in, const std::vector<std::int32_t>& regs)
{
    const auto a = static_cast<std::uint32_t>(value_in(in.value, regs));
    const auto b = static_cast<std::uint32_t>(value_in(in.addend, regs));
    return static_cast<std::int32_t>(in.minus ? a - b : a + b);
}

// What an instruction leaves in the registers, given the value its access
// returned (for set, the value it copies). Both the run on the cells and the
// replay of an outcome come through here, so they cannot disagree.
void apply(const instruction& in, std::vector<std::int32_t>& regs, std::int32_t got)
{
    std::int32_t result = got;
    if (in.kind == op::cas) {
        std::int32_t& expected = regs[static_cast<std::size_t>(in.expected)];
        result = got == expected ? 1 : 0;
        expected = got;
    }
    if (in.target >= 0)
        regs[static_cast<std::size_t>(in.target)] = result;
}

// The test being explored, and its cells: the explorer takes a plain function.
const litmus_test* running = nullptr;
std::vector<model_cell> running_cells;

void run_thread(std::int32_t self)
{
    const litmus_thread& th = running->threads[static_cast<std::size_t>(self)];
    // The test's own name tells its instructions from any other program's;
    // each instruction's place in its thread tells them apart.
    const char* site = running->name.c_str();
    std::vector<std::int32_t> regs(th.registers.size());
    for (std::size_t i = 0; i < th.code.size(); i++) {
        const instruction& in = th.code[i];
        const int line = static_cast<int>(i);
        const std::int32_t v = value_in(in.value, regs);
        model_cell* cell = in.var < 0 ? nullptr : &running_cells[static_cast<std::size_t>(in.var)];
        std::int32_t got = v;
        switch (in.kind) {
        case op::set:
            got = set_value(in, regs);
            break;
        case op::load:
            got = cell->load(in.order, site, line);
            break;
        case op::store:
            cell->store(v, in.order, site, line);
            continue;
        case op::exchange:
            got = cell->exchange(v, in.order, site, line);
            break;
        case op::fetch_add:
            got = cell->fetch_add(v, in.order, site, line);
            break;
        case op::fetch_sub:
            got = cell->fetch_add(static_cast<std::int32_t>(0U - static_cast<std::uint32_t>(v)), in.order, site, line);
            break;
        case op::cas:
            got = regs[static_cast<std::size_t>(in.expected)];
            static_cast<void>(cell->compare_exchange_strong(got, v, in.order, in.failure, site, line));
            break;
        case op::fence:
            model_fence(in.order, site, line);
            continue;
        }
        apply(in, regs, got);
    }
}

} // namespace

std::vector<std::int32_t> final_state(const litmus_test& t, const std::vector<std::int32_t>& outcome)
{
    std::vector<std::int32_t> state;
    std::size_t at = 0;
    for (const litmus_thread& th : t.threads) {
        std::vector<std::int32_t> regs(th.registers.size());
        for (const instruction& in : th.code) {
            if (in.kind == op::store || in.kind == op::fence)
                continue;
            apply(in, regs, in.kind == op::set ? set_value(in, regs) : outcome.at(at++));
        }
        state.insert(state.end(), regs.begin(), regs.end());
    }
    for (std::size_t i = 0; i < t.vars.size(); i++)
        state.push_back(outcome.at(at + i));
    return state;
}

namespace {

bool holds_at(const litmus_test& t, int node, const std::vector<std::int32_t>& state)
{
    const prop_node& n = t.prop[static_cast<std::size_t>(node)];
    switch (n.kind) {
    case prop_node::reg:
    case prop_node::var:
        return state.at(static_cast<std::size_t>(n.at)) == n.value;
    case prop_node::negation:
        return !holds_at(t, n.left, state);
    case prop_node::conjunction:
        return holds_at(t, n.left, state) && holds_at(t, n.right, state);
    case prop_node::disjunction:
        return holds_at(t, n.left, state) || holds_at(t, n.right, state);
    case prop_node::truth:
        return true;
    case prop_node::falsity:
        break;
    }
    return false;
}

} // namespace

bool holds(const litmus_test& t, const std::vector<std::int32_t>& state)
{
    return holds_at(t, static_cast<int>(t.prop.size()) - 1, state);
}

std::string state_text(const litmus_test& t, const std::vector<std::int32_t>& state)
{
    std::string text;
    std::size_t at = 0;
    for (std::size_t n = 0; n < t.threads.size(); n++) {
        for (const std::string& reg : t.threads[n].registers)
            text += std::to_string(n) + ":" + reg + "=" + std::to_string(state.at(at++)) + "; ";
    }
    for (const std::string& var : t.vars)
        text += var + "=" + std::to_string(state.at(at++)) + "; ";
    if (!text.empty())
        text.pop_back();
    return text;
}

exploration explore_test(const litmus_test& t, memory_model model, bool plainly)
{
    running_cells.clear();
    for (std::size_t i = 0; i < t.vars.size(); i++)
        running_cells.push_back({t.vars[i].c_str(), t.initial[i]});
    std::vector<model_cell*> pointers(running_cells.size());
    std::transform(running_cells.begin(), running_cells.end(), pointers.begin(), [](model_cell& c) { return &c; });
    running = &t;
    const auto meets = [&t](const std::vector<std::int32_t>& outcome) { return holds(t, final_state(t, outcome)); };
    const auto threads = static_cast<std::int32_t>(t.threads.size());
    return plainly ? explore_every_path(model, run_thread, threads, pointers, meets) : explore(model, run_thread, threads, pointers, meets);
}
