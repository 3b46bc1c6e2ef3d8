// predict: asks what one of the kit's programs will do before showing what it
// did. Each question is drawn from a seed, a class's or a student's own; the
// answer is checked against a key the kit computes with its own code, and the
// reveal sets what can happen beside what happened here.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "csv.h"
#include "exercise.h"
#include "fail.h"

namespace {

const char* const usage =
    "usage: predict [ID [--seed N | --student NAME]]\n"
    "       predict ask|key|reveal ID [--seed N | --student NAME]\n"
    "       predict check ID [--seed N | --student NAME] ANSWER\n"
    "       predict roster FILE [--exercises ID,ID...]\n"
    "       predict grade FILE\n";

// predict's own failures (a call, a write, a program that a reveal runs)
// end with 2, as everything else it cannot do: 1 is kept for a wrong answer.
int cannot(int status)
{
    return status == 0 ? 0 : 2;
}

int written()
{
    return cannot(flush_output());
}

int misused()
{
    static_cast<void>(std::fputs(usage, stderr));
    return 2;
}

// Says that no exercise has that id, and which do.
int unknown(const std::string& id, const std::string& where = "")
{
    std::string ids;
    for (const exercise& e : exercises())
        ids += (ids.empty() ? "" : ", ") + std::string(e.id);
    static_cast<void>(std::fprintf(stderr, "%s: %sno exercise %s; the exercises are %s\n", program_invocation_short_name,
                                   where.c_str(), id.c_str(), ids.c_str()));
    return 2;
}

// An exercise and the seed of its question, from ID and the options after it.
struct asked {
    const exercise* e = nullptr;
    std::uint64_t seed = lecture_seed;
};

// Reads ID [--seed N | --student NAME] from args, leaving what follows.
// Returns 0, or the exit status after saying what is wrong.
int read_asked(std::vector<std::string>& args, asked& a)
{
    if (args.empty())
        return misused();
    const std::string id = args.front();
    args.erase(args.begin());
    if (id.empty() || id[0] == '-')
        return misused();
    a.e = find_exercise(id);
    if (a.e == nullptr)
        return unknown(id);
    if (args.size() >= 2 && args[0] == "--seed") {
        const std::string& n = args[1];
        char* end = nullptr;
        errno = 0;
        a.seed = std::strtoull(n.c_str(), &end, 10);
        if (n.empty() || n[0] < '0' || n[0] > '9' || *end != '\0' || errno == ERANGE) {
            static_cast<void>(std::fprintf(stderr, "%s: the seed %s is not a whole number from 0 to 18446744073709551615\n",
                                           program_invocation_short_name, n.c_str()));
            return 2;
        }
        args.erase(args.begin(), args.begin() + 2);
    } else if (args.size() >= 2 && args[0] == "--student") {
        a.seed = student_seed(args[1], id);
        args.erase(args.begin(), args.begin() + 2);
    } else if (!args.empty() && (args[0] == "--seed" || args[0] == "--student")) {
        return misused();
    }
    return 0;
}

void say(const grade& g, const exercise& e)
{
    if (g.mark == grade::right)
        std::puts("Right.");
    else
        std::printf("Wrong: %s.\nHint: %s\n", g.why.c_str(), e.hint);
}

// Asks the question, reads answers until one can be read, grades it and reveals.
int interactive(const asked& a)
{
    std::printf("%s\n", a.e->question(a.seed).c_str());
    grade g{grade::unreadable, ""};
    while (g.mark == grade::unreadable) {
        std::printf("Your answer (%s): ", a.e->form);
        if (std::fflush(stdout) == EOF)
            return cannot(fail("write", errno));
        std::string answer;
        if (!std::getline(std::cin, answer)) {
            if (std::cin.bad())
                return cannot(fail("read", errno));
            static_cast<void>(std::fprintf(stderr, "\n%s: no answer before the end of the input; nothing graded\n",
                                           program_invocation_short_name));
            return 2;
        }
        g = a.e->check(a.seed, answer);
        if (g.mark == grade::unreadable)
            std::printf("That cannot be read: %s.\n", unreadable(*a.e, g).c_str());
    }
    say(g, *a.e);
    std::puts("\nWhat happens:");
    if (std::fflush(stdout) == EOF)
        return cannot(fail("write", errno));
    if (a.e->reveal(a.seed) != 0 || written() != 0)
        return 2;
    return g.mark == grade::right ? 0 : 1;
}

// The whole of FILE. Returns 0, or the exit status after saying why not.
int read_file(const std::string& path, std::string& text)
{
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) {
        fail("open", errno, path.c_str());
        return 2;
    }
    char buf[65536];
    std::size_t got = 0;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, got);
    const bool failed = std::ferror(f) != 0;
    const int err = errno;
    static_cast<void>(std::fclose(f));
    if (failed) {
        fail("read", err, path.c_str());
        return 2;
    }
    return 0;
}

// A spreadsheet's UTF-8 export starts with a byte-order mark, which is no
// part of the first name or field.
void without_bom(std::string& text)
{
    if (text.rfind("\xEF\xBB\xBF", 0) == 0)
        text.erase(0, 3);
}

// Whether a row is the heading a spreadsheet gives the columns, in any case.
bool heading(const std::vector<std::string>& fields)
{
    const char* const names[] = {"student", "exercise", "answer"};
    if (fields.size() != 3)
        return false;
    for (std::size_t i = 0; i < 3; i++) {
        if (fields[i].size() != std::strlen(names[i]) ||
            !std::equal(fields[i].begin(), fields[i].end(), names[i],
                        [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; }))
            return false;
    }
    return true;
}

int bad_input(const std::string& path, int line, const std::string& what)
{
    static_cast<void>(std::fprintf(stderr, "%s: %s:%d: %s\n", program_invocation_short_name, path.c_str(), line, what.c_str()));
    return 2;
}

// Every row is made before any is written: bad input leaves nothing half-written.
int write_all(const std::string& out)
{
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size())
        return cannot(fail("write", errno));
    return written();
}

int roster(const std::string& path, const std::vector<const exercise*>& chosen)
{
    std::string text;
    if (const int status = read_file(path, text); status != 0)
        return status;
    without_bom(text);
    std::string out = csv_row({"student", "exercise", "seed", "question", "key"});
    std::size_t students = 0;
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t to = text.find('\n', from);
        if (to == std::string::npos)
            to = text.size();
        std::string name = text.substr(from, to - from);
        from = to + 1;
        if (!name.empty() && name.back() == '\r')
            name.pop_back();
        if (name.find_first_not_of(" \t") == std::string::npos)
            continue;
        students++;
        for (const exercise* e : chosen) {
            const std::uint64_t seed = student_seed(name, e->id);
            out += csv_row({name, e->id, std::to_string(seed), e->question(seed), e->key(seed)});
        }
    }
    if (students == 0) {
        static_cast<void>(std::fprintf(stderr, "%s: %s: no student names in it, one a line\n", program_invocation_short_name,
                                       path.c_str()));
        return 2;
    }
    return write_all(out);
}

int grade_file(const std::string& path)
{
    std::string text;
    if (const int status = read_file(path, text); status != 0)
        return status;
    without_bom(text);
    std::vector<csv_record> records;
    int bad_line = 0;
    if (!csv_records(text, records, bad_line))
        return bad_input(path, bad_line, "a quote is left open, or stands inside a field");
    std::string out = csv_row({"student", "exercise", "mark", "why"});
    // Per student, in the order first met: answers right, and answers.
    std::vector<std::string> students;
    std::map<std::string, std::pair<int, int>> totals;
    bool first = true;
    for (const csv_record& r : records) {
        const bool skipped = first && heading(r.fields);
        first = false;
        if (skipped || (r.fields.size() == 1 && r.fields[0].empty()))
            continue;
        if (r.fields.size() != 3)
            return bad_input(path, r.line,
                             "a row holds three fields (student, exercise, answer), and this one holds " +
                                 std::to_string(r.fields.size()) + "; quote a field that has a comma");
        const std::string& name = r.fields[0];
        const exercise* e = find_exercise(r.fields[1]);
        if (e == nullptr)
            return unknown(r.fields[1], path + ":" + std::to_string(r.line) + ": ");
        const grade g = e->check(student_seed(name, e->id), r.fields[2]);
        if (g.mark == grade::unreadable)
            return bad_input(path, r.line, "cannot read the answer to " + std::string(e->id) + ": " + unreadable(*e, g));
        out += csv_row({name, e->id, g.mark == grade::right ? "right" : "wrong", g.why});
        if (totals.count(name) == 0)
            students.push_back(name);
        auto& [right, all] = totals[name];
        right += g.mark == grade::right ? 1 : 0;
        all++;
    }
    if (students.empty()) {
        static_cast<void>(std::fprintf(stderr, "%s: %s: no answers in it\n", program_invocation_short_name, path.c_str()));
        return 2;
    }
    for (const std::string& name : students) {
        const auto& [right, all] = totals[name];
        out += csv_row({name, "total", std::to_string(right) + " of " + std::to_string(all) + " right", ""});
    }
    return write_all(out);
}

// The exercises named in a list such as A,B; all of them for none.
int chosen_exercises(const std::string& list, std::vector<const exercise*>& chosen)
{
    std::size_t from = 0;
    while (from <= list.size()) {
        std::size_t to = list.find(',', from);
        if (to == std::string::npos)
            to = list.size();
        const std::string id = list.substr(from, to - from);
        const exercise* e = find_exercise(id);
        if (e == nullptr)
            return unknown(id);
        chosen.push_back(e);
        from = to + 1;
    }
    return 0;
}

int list()
{
    for (const exercise& e : exercises())
        std::printf("%-18s %-12s %2d min  %s\n", e.id, e.program, e.minutes, e.gist);
    return written();
}

int command(std::vector<std::string> args)
{
    if (args.empty())
        return list();
    const std::string what = args.front();
    if (what == "--help" || what == "-h") {
        if (std::fputs(usage, stdout) == EOF)
            return cannot(fail("write", errno));
        return written();
    }
    if (what == "roster" || what == "grade") {
        if (args.size() < 2)
            return misused();
        if (what == "grade")
            return args.size() == 2 ? grade_file(args[1]) : misused();
        std::vector<const exercise*> chosen;
        if (args.size() == 4 && args[2] == "--exercises") {
            if (const int status = chosen_exercises(args[3], chosen); status != 0)
                return status;
        } else if (args.size() == 2) {
            std::transform(exercises().begin(), exercises().end(), std::back_inserter(chosen), [](const exercise& e) { return &e; });
        } else {
            return misused();
        }
        return roster(args[1], chosen);
    }
    const bool subcommand = what == "ask" || what == "check" || what == "key" || what == "reveal";
    if (subcommand)
        args.erase(args.begin());
    asked a;
    if (const int status = read_asked(args, a); status != 0)
        return status;
    if (what == "check") {
        if (args.size() != 1)
            return misused();
        const grade g = a.e->check(a.seed, args[0]);
        if (g.mark == grade::unreadable) {
            static_cast<void>(std::fprintf(stderr, "%s: cannot read the answer \"%s\": %s\n", program_invocation_short_name,
                                           args[0].c_str(), unreadable(*a.e, g).c_str()));
            return 2;
        }
        if (g.mark == grade::right)
            std::puts("right");
        else
            std::printf("wrong: %s\n", g.why.c_str());
        if (written() != 0)
            return 2;
        return g.mark == grade::right ? 0 : 1;
    }
    if (!args.empty())
        return misused();
    if (what == "ask")
        std::printf("%s\n", a.e->question(a.seed).c_str());
    else if (what == "key")
        std::printf("%s\n", a.e->key(a.seed).c_str());
    else if (what == "reveal")
        return a.e->reveal(a.seed) != 0 ? 2 : written();
    else
        return interactive(a);
    return written();
}

} // namespace

int main(int argc, char** argv)
{
    // A program a reveal runs may end before reading its input; that must
    // not end predict.
    if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR)
        return cannot(fail("signal", errno));
    // Started by a parent that ignores SIGCHLD, predict would have what it
    // runs reaped by the kernel, and nothing for its wait to return.
    if (std::signal(SIGCHLD, SIG_DFL) == SIG_ERR)
        return cannot(fail("signal", errno));
    try {
        return command({argv + 1, argv + argc});
    } catch (const std::bad_alloc&) {
        return cannot(fail("malloc", ENOMEM));
    } catch (const std::length_error& e) {
        static_cast<void>(std::fprintf(stderr, "%s: the explorer could not finish: %s\n", program_invocation_short_name, e.what()));
        return 2;
    }
}
