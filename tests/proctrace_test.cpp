// proctrace: the report's rules on event lists written by hand, and the
// tracer on the kit's programs and on programs that are killed or stopped.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "process.h"
#include "report.h"

namespace {

using namespace std::chrono_literals;

// The first of WANTED that is not in a line of TEXT, in this order; empty when all are.
std::string missing(const std::string& text, const std::vector<std::string>& wanted)
{
    const std::vector<std::string> got = lines_of(text);
    std::size_t at = 0;
    for (const std::string& w : wanted) {
        while (at < got.size() && got[at].find(w) == std::string::npos)
            at++;
        if (at++ >= got.size())
            return w;
    }
    return "";
}

event ev(std::int64_t ms, happening what, int pid, int tid = 0, int other = 0, int code = 0)
{
    return {ms * 1000000, what, pid, tid == 0 ? pid : tid, other, code};
}

event named(event e, const std::string& name, const std::vector<std::string>& argv)
{
    e.name = name;
    e.argv = argv;
    return e;
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): a table row's shorthand
event wrote(std::int64_t ms, int pid, int fd, std::int64_t bytes, const std::string& text, int tid = 0, const std::string& source = "")
{
    return {ms * 1000000, happening::writes, pid, tid == 0 ? pid : tid, 0, 0, false, fd, bytes, text, "", {}, source};
}

// EVENTS, then a chain of N generations below process 2, each forked by the one before.
std::vector<event> chain(std::vector<event> events, int n)
{
    for (int pid = 2; pid < n + 2; pid++)
        events.push_back(ev(pid, happening::forks, pid, 0, pid + 1));
    return events;
}

TEST(ProctraceReport, FollowsItsRules)
{
    const int tracer = 9;
    const event first = named(ev(0, happening::starts, 1), "a", {"/bin/a", "a"});
    event core = ev(4, happening::killed, 2, 0, 0, SIGSEGV);
    core.core = true;
    core.zombie_ns = 5000000;   // its death collected a moment after it began
    const struct {
        const char* rule;
        std::vector<event> events;
        int columns;
        std::vector<std::string> lines;   // each the start of a line, in this order
    } cases[] = {
        {"writes of a task to one stream make one line, whatever other tasks do between them",
         {first, ev(1, happening::forks, 1, 0, 2), wrote(1, 1, 1, 5, "ab\ncd"), wrote(2, 2, 1, 1, "x"), wrote(3, 1, 1, 3, "efg"),
          wrote(4, 1, 2, 2, "e\n"), wrote(5, 1, 1, 1, "h"), ev(6, happening::creates_thread, 1, 0, 3), wrote(7, 1, 1, 4, "tttt", 3),
          wrote(8, 1, 1, 1, "i")},
         80,
         {"     1.000 ms  a[1]  writes 8 bytes in 2 calls to standard output: \"ab\\n\"",
          "     2.000 ms  a[2]  writes 1 bytes to standard output: \"x\"", "     4.000 ms  a[1]  writes 2 bytes to standard error: \"e\\n\"",
          "     5.000 ms  a[1]  writes 1 bytes to standard output: \"h\"",
          "     7.000 ms  a[1/3]  writes 4 bytes to standard output: \"tttt\"",
          "     8.000 ms  a[1]  writes 1 bytes to standard output: \"i\""}},
        {"the quoted line is cut to 40 bytes, the unprintable escaped",
         {first, wrote(1, 1, 1, 60, std::string(38, 'q') + "\t\"zzz")},
         80,
         {"     1.000 ms  a[1]  writes 60 bytes to standard output: \"" + std::string(38, 'q') + "\\x09\\\"\""}},
        {"a child bears its parent's name until it execs, its arguments kept to the line; its life to its exit, a zombie from its collection to its reaping",
         {first, ev(1, happening::forks, 1, 0, 2), named(ev(2, happening::execs, 2), "b", {"/bin/b", "b", "-c", "x\ny"}), core,
          ev(7, happening::reaped, 2, 0, 1), ev(8, happening::exits, 1), ev(8, happening::reaped, 1, 0, tracer)},
         80,
         {"     1.000 ms  a[1]  forks a[2]", "     2.000 ms  a[2]  execs /bin/b b -c x\\ny",
          "     4.000 ms  b[2]  is killed by SIGSEGV (core dumped)", "     7.000 ms  b[2]  is reaped by a[1] after 2.000 ms as a zombie",
          "     8.000 ms  (a shell would print its next prompt now; nothing it started is still running)", "Family tree",
          "a[1]: a, exited with status 0 after 8.000 ms, a zombie for 0.000 ms, reaped by proctrace[9]",
          "└─ b[2]: a → b, was killed by SIGSEGV (core dumped) after 3.000 ms, a zombie for 2.000 ms, reaped by a[1]"}},
        {"an orphan is adopted; the prompt names what still runs; lanes scale to the width",
         {first, ev(5, happening::forks, 1, 0, 2), ev(6, happening::exits, 1), ev(6, happening::orphaned, 2, 0, tracer),
          ev(6, happening::reaped, 1, 0, tracer), ev(8, happening::exits, 2), ev(10, happening::reaped, 2, 0, tracer)},
         17,
         {"     6.000 ms  a[2]  is orphaned: its parent a[1] has exited; adopted by proctrace[9]",
          "     6.000 ms  (a shell would print its next prompt now; still running: a[2])",
          "└─ a[2]: a, exited with status 0 after 3.000 ms, a zombie for 2.000 ms, reaped by proctrace[9] (adopted)",
          "Lanes: one column is 1.000 ms", "a[1] |######    |", "a[2] |.....###zz|"}},
        {"stops, continuing, and a thread's life",
         {first, ev(1, happening::creates_thread, 1, 0, 4), ev(2, happening::stopped, 1, 0, 0, SIGTSTP),
          ev(3, happening::continues, 1), ev(4, happening::ends, 1, 4)},
         80,
         {"     2.000 ms  a[1]  is stopped by SIGTSTP", "     3.000 ms  a[1]  continues", "     4.000 ms  a[1/4]  ends",
          "└─ thread a[1/4]: ran 3.000 ms"}},
        {"a pid or a tid used again is a new task, the old one keeping its own history",
         {first, ev(1, happening::forks, 1, 0, 2), ev(2, happening::exits, 2), ev(3, happening::reaped, 2, 0, 1), ev(4, happening::forks, 1, 0, 2),
          named(ev(5, happening::execs, 2), "b", {"/bin/b", "b"}), ev(5, happening::creates_thread, 1, 0, 3), ev(6, happening::ends, 1, 3),
          ev(7, happening::creates_thread, 1, 0, 3)},
         80,
         {"├─ thread a[1/3]: ran 1.000 ms", "├─ thread a[1/3]: still running at the end",
          "├─ a[2]: a, exited with status 0 after 1.000 ms, a zombie for 1.000 ms, reaped by a[1]", "└─ b[2]: a → b, still running at the end",
          "a[2]   |", "b[2]   |"}},
        {"a run of writes ends where its process adopts an orphan or reaps a child",
         {first, ev(1, happening::forks, 1, 0, 2), ev(1, happening::forks, 2, 0, 3), wrote(2, 1, 1, 2, "ab"), ev(3, happening::exits, 2),
          ev(3, happening::orphaned, 3, 0, 1), wrote(4, 1, 1, 2, "cd"), ev(5, happening::reaped, 2, 0, 1), wrote(6, 1, 1, 2, "ef")},
         80,
         {"     2.000 ms  a[1]  writes 2 bytes to standard output: \"ab\"", "     4.000 ms  a[1]  writes 2 bytes to standard output: \"cd\"",
          "     6.000 ms  a[1]  writes 2 bytes to standard output: \"ef\""}},
        {"a run quotes its first line across its calls, up to 40 bytes, and no further than the bytes known",
         {first, wrote(1, 1, 1, 6, "3.11.7"), wrote(2, 1, 1, 1, "\n"), wrote(3, 1, 1, 3, "end"), wrote(4, 1, 2, 30, std::string(30, 'q')),
          wrote(5, 1, 2, 30, std::string(30, 'r')), wrote(6, 1, 1, 9, "ab"), wrote(7, 1, 1, 2, "cd")},
         80,
         {"     1.000 ms  a[1]  writes 10 bytes in 3 calls to standard output: \"3.11.7\\n\"",
          "     4.000 ms  a[1]  writes 60 bytes in 2 calls to standard error: \"" + std::string(30, 'q') + std::string(10, 'r') + "\"",
          "     6.000 ms  a[1]  writes 11 bytes in 2 calls to standard output: \"ab\""}},
        {"bytes from a source are not quoted, and join only writes from that source",
         {first, wrote(1, 1, 1, 1221, "", 0, "/etc/passwd"), wrote(2, 1, 1, 1221, "", 0, "/etc/passwd"), wrote(3, 1, 1, 3, "ab\n"),
          wrote(4, 1, 1, 4, "", 0, "pipe:[7]\x1b"), wrote(5, 1, 1, 4, "", 0, "/etc/passwd")},
         80,
         {"     1.000 ms  a[1]  writes 2442 bytes in 2 calls to standard output from /etc/passwd",
          "     3.000 ms  a[1]  writes 3 bytes to standard output: \"ab\\n\"", "     4.000 ms  a[1]  writes 4 bytes to standard output from pipe:[7]\\x1b",
          "     5.000 ms  a[1]  writes 4 bytes to standard output from /etc/passwd"}},
        {"the kernel reaps at once the child of a parent that ignores SIGCHLD or asks not to wait: no zombie",
         {first, ev(1, happening::forks, 1, 0, 2), ev(3, happening::exits, 2), ev(6, happening::reaped, 2, 0, 0, parent_ignores_sigchld),
          ev(7, happening::forks, 1, 0, 3), ev(8, happening::exits, 3), ev(8, happening::reaped, 3, 0, 0, parent_asks_not_to_wait), ev(10, happening::exits, 1)},
         17,
         {"     6.000 ms  a[2]  is reaped by the kernel at once: its parent a[1] ignores SIGCHLD",
          "     8.000 ms  a[3]  is reaped by the kernel at once: its parent a[1] asks not to wait",
          "├─ a[2]: a, exited with status 0 after 2.000 ms, reaped by the kernel at once (its parent ignores SIGCHLD)",
          "└─ a[3]: a, exited with status 0 after 1.000 ms, reaped by the kernel at once (its parent asks not to wait)", "a[2] |.##       |"}},
        {"a thread's exec ends the first thread, and the caller carries on as the process",
         {first, ev(1, happening::creates_thread, 1, 0, 4), named(ev(3, happening::execs, 1, 0, 4), "b", {"/bin/b", "b", "x"})},
         80,
         {"     3.000 ms  a[1/1]  ends: its thread a[1/4] calls exec", "     3.000 ms  a[1/4]  execs /bin/b b x, and carries on as b[1]",
          "└─ thread b[1/4]: ran 2.000 ms, then called exec and carried on as the process"}},
        {"a traced program runs without the privileges its file asks for",
         {named(ev(0, happening::starts, 1, 0, 0, lost_set_user_id), "a", {"/bin/a"}),
          named(ev(1, happening::execs, 1, 0, 0, lost_set_group_id | lost_capabilities), "b", {"/bin/b"}),
          named(ev(2, happening::execs, 1, 0, 0, lost_set_user_id | lost_set_group_id | lost_capabilities), "c", {"/bin/c"})},
         80,
         {"a[1]  starts /bin/a; it runs without the privileges of its set-user-ID bit under ptrace",
          "a[1]  execs /bin/b; it runs without the privileges of its set-group-ID bit and file capabilities under ptrace",
          "b[1]  execs /bin/c; it runs without the privileges of its set-user-ID bit, set-group-ID bit and file capabilities under ptrace"}},
        {"a program's name keeps to its line everywhere",
         {first, ev(1, happening::forks, 1, 0, 2), named(ev(2, happening::execs, 2), "\x1b[2Jx\ny", {"/bin/x"})},
         80,
         {"└─ \\x1b[2Jx\\ny[2]: a → \\x1b[2Jx\\ny, still running at the end", "\\x1b[2Jx\\ny[2] |"}},
        {"past a depth of 20 the tree stops indenting and gives the depth",
         chain({first, ev(1, happening::forks, 1, 0, 2), ev(1, happening::forks, 1, 0, 99)}, 21),
         80,
         {"│" + std::string(56, ' ') + "└─ a[21]: a, still running", "│" + std::string(56, ' ') + "[depth 21] └─ a[22]: a, still running",
          "│" + std::string(56, ' ') + "[depth 22] └─ a[23]: a, still running", "└─ a[99]"}},
    };
    for (const auto& c : cases) {
        const std::string got = report(tracer, c.events, c.columns);
        EXPECT_EQ(missing(got, c.lines), "") << c.rule << ": no line, in its place, with that, in\n" << got;
    }
}

// The timeline's lines without their times, and with no pids, which change
// from run to run: "[123]" and "[123/124]" become "[]".
std::string shape(const std::string& report)
{
    std::string lines;
    for (const std::string& line : lines_of(report)) {
        if (line.size() <= 15 || line.compare(10, 5, " ms  ") != 0)
            continue;
        for (std::size_t at = 15; at < line.size(); at++) {
            const std::size_t close = line.find_first_not_of("0123456789/", at + 1);
            lines += line[at];
            if (line[at] == '[' && close != std::string::npos && close > at + 1 && line[close] == ']')
                at = close - 1;
        }
        lines += '\n';
    }
    return lines;
}

TEST(Proctrace, ShowsEveryTaskAndWhoReapedIt)
{
    if (emulated())
        GTEST_SKIP() << under_emulation << ", and ptrace does not reach the emulated program";
    // Stand-ins for ls and top, first on PATH, that take a moment.
    const scratch dir;
    for (const char* name : {"ls", "top"})
        dir.write(name, "#!/bin/sh\nsleep 0.3\necho stand-in\n", true);
    const std::string stand_in = "PATH=" + dir.path.string() + ":/usr/bin:/bin";
    // A program whose name, as /proc/PID/stat shows it, holds ") " and spaces.
    const std::string odd = (dir.path / "x) 1 (2").string();
    std::filesystem::copy_file("/bin/sleep", odd);
    const std::string prompt = "(a shell would print its next prompt now; ";
    const std::string data = (dir.path / "data").string();
    dir.write("data", "12345\n");
    struct row {
        std::vector<std::string> args;
        std::string input;
        std::string path;
        int status;
        std::vector<std::string> lines;
    };
    std::vector<row> cases = {
        {{"listwait"}, "", "PATH=/usr/bin:/bin", 0,
         {"listwait[]  starts ", "listwait[]  forks listwait[]", "listwait[]  execs /usr/bin/ls ls -l", "ls[]  exits with status 0",
          "ls[]  is reaped by listwait[] after ", "listwait[]  writes 24 bytes to standard output: \"Parent still running...\\n\"",
          "listwait[]  exits with status 0", "listwait[]  is reaped by proctrace[]", prompt + "nothing it started is still running)"}},
        // The stand-in ls sleeps first, so it outlives listnowait.
        {{"listnowait"}, "", stand_in, 0,
         {"listnowait[]  forks listnowait[]", "listnowait[]  writes 24 bytes to standard output", "listnowait[]  exits with status 0",
          "is orphaned: its parent listnowait[] has exited; adopted by proctrace[]", "listnowait[]  is reaped by proctrace[]",
          prompt + "still running: ", "ls[]  writes ", "ls[]  exits with status 0", "ls[]  is reaped by proctrace[]"}},
        {{"topwait"}, "", stand_in, 0,
         {"topwait[]  forks topwait[]", "topwait[]  execs ", "top[]  exits with status 0", "top[]  is reaped by topwait[]",
          "topwait[]  writes 15 bytes to standard output: \"Child finished\\n\""}},
        {{"listwait"}, "", "PATH=/nowhere", 0,
         {"listwait[]  forks listwait[]", "listwait[]  writes 51 bytes to standard error: \"listwait: cannot run ls: No such file or\"",
          "listwait[]  writes 38 bytes to standard output: \"This will not print if exec succeeds.\\n\"",
          "listwait[]  exits with status 127", "listwait[]  is reaped by listwait[]", "listwait[]  exits with status 0"}},
        {{"factworker"}, "7\n", "PATH=/usr/bin:/bin", 0,
         {"factworker[]  writes 16 bytes to standard output: \"Enter a number: \"", "factworker[]  creates thread factworker[]",
          "factworker[]  ends", "factworker[]  writes 53 bytes to standard output: \"Factorial of 7 is: 5040\\n\""}},
        {{"turnlock"}, "", "PATH=/usr/bin:/bin", 0,
         {"turnlock[]  creates thread turnlock[]", "turnlock[]  creates thread turnlock[]", "turnlock[]  writes 15 bytes"}},
        {{"racecount"}, "", "PATH=/usr/bin:/bin", 0,
         {"racecount[]  creates thread", "racecount[]  creates thread", "racecount[]  creates thread", "racecount[]  creates thread",
          "racecount[]  writes "}},
        {{"sh", "-c", "kill -SEGV $$"}, "", "PATH=/usr/bin:/bin", 128 + SIGSEGV, {"sh[]  starts /usr/bin/dash sh -c", "sh[]  is killed by SIGSEGV"}},
        // Orphaned once it has exec'd, so that it ends and is reaped under
        // the odd name. (Its orphan line may still name sh: the exec is told
        // at its stop, which can come a moment after the name changed.)
        {{"sh", "-c", "\"$0\" 0.3 & while [ \"$(cat /proc/$!/comm)\" = sh ]; do :; done", odd}, "", "PATH=/usr/bin:/bin", 0,
         {"[]  is orphaned: its parent sh[] has exited; adopted by proctrace[]", "x) 1 (2[]  exits with status 0",
          "x) 1 (2[]  is reaped by proctrace[]"}},
        // A terminal's Ctrl-C and Ctrl-\ reach proctrace too, which lets them pass.
        {{"sh", "-c", "kill -INT $PPID; kill -QUIT $PPID; echo still"}, "", "PATH=/usr/bin:/bin", 0,
         {"sh[]  writes 6 bytes to standard output: \"still\\n\"", "sh[]  exits with status 0"}},
        // The shell stops its child, which would otherwise end in 0.2 s, and
        // continues it half a second later. (A SIGCONT that came before the
        // stop took effect would cancel it.)
        {{"sh", "-c", "sleep 0.2 & kill -STOP $!; sleep 0.5; kill -CONT $!; wait; echo back"}, "", "PATH=/usr/bin:/bin", 0,
         {"is stopped by SIGSTOP", "continues", "exits with status 0", "sh[]  writes 5 bytes to standard output: \"back\\n\""}},
        {{"sh", "-c", "printf 3.11.7; printf '\\n'; true & wait; printf b"}, "", "PATH=/usr/bin:/bin", 0,
         {"sh[]  writes 7 bytes in 2 calls to standard output: \"3.11.7\\n\"", "sh[]  forks", "is reaped by sh[]", "sh[]  writes 1 bytes"}},
        {{"fixture/traced", "waitid-null"}, "", "PATH=/usr/bin:/bin", 0, {"traced[]  exits with status 3", "traced[]  is reaped by traced[] after "}},
        {{"fixture/traced", "ignore-sigchld"}, "", "PATH=/usr/bin:/bin", 0, {"traced[]  is reaped by the kernel at once: its parent traced[] ignores SIGCHLD"}},
        {{"fixture/traced", "no-wait"}, "", "PATH=/usr/bin:/bin", 0, {"traced[]  is reaped by the kernel at once: its parent traced[] asks not to wait"}},
        {{"fixture/traced", "thread-exec"}, "", "PATH=/usr/bin:/bin", 0,
         {"traced[]  ends: its thread traced[] calls exec", "traced[]  execs /usr/bin/echo echo from a thread, and carries on as echo[]"}},
        {{"fixture/traced", "pipe-writes", data}, "", "PATH=/usr/bin:/bin", 0,
         {"traced[]  writes 7 bytes to standard output: \"vector\\n\"", "traced[]  writes 6 bytes to standard output from " + data}},
        // Standard output a file, as pwrite and copy_file_range need.
        {{"sh", "-c", "exec \"$0\" file-writes \"$1\" > \"$1.out\"", program("fixture/traced"), data}, "", "PATH=/usr/bin:/bin", 0,
         {"traced[]  writes 21 bytes in 3 calls to standard output: \"pwrite\\n\"",
          "traced[]  writes 12 bytes in 2 calls to standard output from " + data}},
    };
    // A set-user-ID program, which only root can make for another user.
    const std::string sid = (dir.path / "sid").string();
    if (geteuid() == 0 && std::filesystem::copy_file("/usr/bin/id", sid) && chown(sid.c_str(), 65534, 65534) == 0 && chmod(sid.c_str(), 04755) == 0)
        cases.push_back({{sid, "-u"}, "", "PATH=/usr/bin:/bin", 0, {"sid[]  starts " + sid + " " + sid + " -u; it runs without the privileges of its set-user-ID bit"}});
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        if (args[0] != "sh" && args[0][0] != '/')
            args[0] = program(args[0]);
        // LeakSanitizer stops the world with ptrace, which a traced program
        // cannot: an AddressSanitizer build's programs run here without it.
        const run_result r = run(program("proctrace"), {.args = args, .input = c.input, .env = {c.path, asan_options("detect_leaks=0")}});
        EXPECT_EQ(missing(shape(r.err), c.lines), "") << c.args[0] << ": no line, in its place, with that, in\n" << r.err;
        // Nothing before the program's start: what proctrace's child did before its exec is not the program's.
        EXPECT_EQ(shape(r.err).find("]  starts "), shape(r.err).find(']')) << c.args[0] << ":\n" << r.err;
        EXPECT_EQ(r.status, c.status) << c.args[0];
    }
    // A joiner, or a vfork child's parent, wakes before the death can be
    // collected: each line, which only the join or the vfork lets come, must
    // follow the end that let it.
    for (const auto& [mode, end] : {std::pair{"joins", "]  ends"}, {"vforks", "]  exits with status 0"}}) {
        const run_result j = run(program("proctrace"), {.args = {program("fixture/traced"), mode, "4000"}, .env = {asan_options("detect_leaks=0")}});
        std::size_t ends = 0;
        std::size_t writes = 0;
        for (const std::string& line : lines_of(j.err)) {
            ends += line.find(end) != std::string::npos ? 1 : 0;
            if (line.find("writes 8 bytes") != std::string::npos && ++writes > ends) {
                ADD_FAILURE() << mode << ": line " << writes << " before the end that let it come:\n" << line;
                break;
            }
        }
        EXPECT_EQ(writes, 4000U) << mode;
    }
}

TEST(Proctrace, ReportsAFailureAsAShellWould)
{
    const std::string refused = "proctrace: ptrace: Operation not permitted\nproctrace: tracing is not allowed here: a container's "
                                "seccomp profile, or kernel.yama.ptrace_scope, usually forbids it\n";
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> env;
        std::string err;
        int status;
    } cases[] = {
        {{}, {}, "usage: proctrace [-o FILE] PROGRAM [ARGUMENT...]\n", 2},
        {{"/nowhere/at/all"}, {}, "proctrace: /nowhere/at/all: No such file or directory\n", 127},
        {{"no-such-program-anywhere"}, {}, "proctrace: no-such-program-anywhere: No such file or directory\n", 127},
        {{"/etc/passwd"}, {}, "proctrace: /etc/passwd: Permission denied\n", 126},
        {{"-o", "/dev/full", "true"}, {}, "proctrace: write: No space left on device\n", 1},
        {{"-o", "/nowhere/report", "true"}, {}, "proctrace: open /nowhere/report: No such file or directory\n", 1},
        {{"true"}, failing("ptrace"), refused, 1},
        {{"--help"}, {}, "", 0},
        // The inner proctrace's child is its outer one's already.
        {{"-o", "/dev/null", program("proctrace"), "true"}, {}, "proctrace: ptrace: Operation not permitted\nproctrace: proctrace is itself being traced, by proctrace[", 1},
    };
    for (const auto& c : cases) {
        if (emulated() && !c.args.empty())
            continue;   // ptrace does not reach the emulated program
        const run_result r = run(program("proctrace"), {.args = c.args, .env = c.env});
        EXPECT_EQ(r.err.substr(0, c.err.size() > 100 ? c.err.size() : r.err.size()), c.err) << c.err;
        EXPECT_EQ(r.status, c.status) << c.err;
        EXPECT_EQ(r.out, c.args == std::vector<std::string>{"--help"} ? "usage: proctrace [-o FILE] PROGRAM [ARGUMENT...]\n" : "");
    }
}

// The sleeps whose command line is "sleep MARK".
int marked(const std::string& mark)
{
    int found = 0;
    std::error_code ignored;
    const std::string wanted = std::string("sleep") + '\0' + mark + '\0';
    // Processes come and go as /proc is read: one that vanishes is no error
    // (iostreams would throw on the read's ESRCH, so read(2) reads it).
    for (auto entry = std::filesystem::directory_iterator("/proc", ignored); entry != std::filesystem::directory_iterator();
         entry.increment(ignored)) {
        std::string cmdline(wanted.size() + 1, '\0');
        const int fd = open((entry->path() / "cmdline").c_str(), O_RDONLY | O_CLOEXEC);
        const ssize_t got = fd < 0 ? -1 : read(fd, cmdline.data(), cmdline.size());
        if (fd >= 0)
            close(fd);
        found += got == static_cast<ssize_t>(wanted.size()) && cmdline.compare(0, wanted.size(), wanted) == 0 ? 1 : 0;
    }
    return found;
}

TEST(Proctrace, KilledLeavesNoTaskBehind)
{
    if (emulated())
        GTEST_SKIP() << under_emulation << ", and ptrace does not reach the emulated program";
    const std::string mark = "31.4159" + std::to_string(getpid());
    child c = start(program("proctrace"), {.args = {"sh", "-c", "sleep " + mark + " & sleep " + mark}});
    EXPECT_TRUE(within(10s, [&] { return marked(mark) == 2; })) << "the two sleeps never ran";
    // Not finish(), which would wait for the sleeps to let go of the output.
    kill(c.pid, SIGKILL);
    waitpid(c.pid, nullptr, 0);
    for (const int fd : {c.in, c.out, c.err})
        close(fd);
    EXPECT_TRUE(within(10s, [&] { return marked(mark) == 0; })) << marked(mark) << " left running";
}

// How many times WHAT stands in TEXT.
std::size_t count(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; at++)
        n++;
    return n;
}

TEST(Proctrace, StaysTrueUnderStress)
{
    if (emulated())
        GTEST_SKIP() << under_emulation << ", and ptrace does not reach the emulated program";
    // Processes killed, or ended by one of their threads, while their other threads fork: none may hang.
    for (int seed = 0; seed < 50; seed++) {
        child c = start(program("proctrace"), {.args = {"-o", "/dev/null", program("fixture/traced"), "forker", std::to_string(seed)}});
        // Looked at, not collected: finish() collects it.
        siginfo_t info{};
        const bool ended = within(10s, [&] { return waitid(P_PID, c.pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == c.pid; });
        if (!ended)
            kill(c.pid, SIGKILL);
        EXPECT_TRUE(ended) << "seed " << seed << " hung";
        finish(c, "");
    }
    // Every subshell's child is orphaned, unless the subshell itself reaped
    // it first; bash reaps every subshell, and seq.
    const std::string subshells = shape(run(program("proctrace"), {.args = {"bash", "-c", "for i in $(seq 200); do (true &); done; wait"}}).err);
    EXPECT_EQ(count(subshells, "is orphaned: its parent bash[]") + count(subshells, "is reaped by bash[]"), 401U) << subshells;
    // A 4000-generation chain: a report and a peak that grow with the work.
    // Sanitized, where the peak is not measured, a quarter of it is enough.
#ifdef SANITIZED
    const char* const generations = "1000";
#else
    const char* const generations = "4000";
#endif
    const run_result deep = run(program("proctrace"), {.args = {program("fixture/traced"), "chain", generations}});
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    EXPECT_LT(deep.err.size(), 3000000U);
#ifndef SANITIZED
    EXPECT_LT(usage.ru_maxrss, 20 * 1024) << "KB at the peak";
#endif
    // Started by a parent that ignores SIGCHLD, proctrace still wakes at each
    // report, not at its time-out, and hands the program SIGCHLD ignored.
    const auto begun = std::chrono::steady_clock::now();
    const run_result ignoring = run(program("fixture/traced"), {.args = {"ignoring-sigchld", program("proctrace"), "/bin/sh", "-c",
                                                                         "for i in 1 2 3 4 5 6 7 8 9 10; do /bin/true; done"},
                                                                .env = {asan_options("detect_leaks=0")}});
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(2)) << ignoring.err;
    const run_result given = run(program("fixture/traced"), {.args = {"ignoring-sigchld", program("proctrace"), "/bin/grep", "-q",
                                                                      "SigIgn:.*[13579bdf]....$", "/proc/self/status"},
                                                             .env = {asan_options("detect_leaks=0")}});
    EXPECT_EQ(given.status, 0) << "SIGCHLD is not ignored in the program";
    // A pid used again, in a PID namespace of the run's own, is a new process.
    const run_result reused = run("/usr/bin/unshare", {.args = {"--pid", "--fork", "--mount-proc", program("proctrace"), "sh", "-c",
                                                               "true & wait; echo $(($! - 1)) > /proc/sys/kernel/ns_last_pid; true & wait; echo $!"}});
    if (reused.status != 0)
        GTEST_SKIP() << "a PID namespace of its own is refused here: " << reused.err;
    EXPECT_EQ(count(reused.err, "─ sh[" + reused.out.substr(0, reused.out.size() - 1) + "]: "), 2U) << reused.err;
}

// A signal sent to the whole process group reaches the program once, as
// proctrace lets it pass; sent to proctrace alone, proctrace passes it on.
TEST(Proctrace, PassesSignalsOnAsSent)
{
    if (emulated())
        GTEST_SKIP() << under_emulation << ", and ptrace does not reach the emulated program";
    const std::vector<std::string> counted = {program("fixture/traced"), "count-term"};
    const struct {
        bool group;
        int signal;
        std::vector<std::string> args;
        std::string out;
        int status;
    } cases[] = {
        {true, SIGTERM, counted, "ready\ngot 1\n", 0},
        {false, SIGTERM, counted, "ready\ngot 1\n", 0},
        {true, SIGHUP, {"sh", "-c", "trap '' HUP; echo ready; sleep 0.3; echo survived"}, "ready\nsurvived\n", 0},
        {false, SIGTERM, {"sh", "-c", "echo ready; exec sleep 5"}, "ready\n", 128 + SIGTERM},
    };
    for (const auto& c : cases) {
        // setsid: proctrace leads a process group of its own, as a shell's job does.
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), program("proctrace"));
        child p = start("/usr/bin/setsid", {.args = args, .env = {asan_options("detect_leaks=0")}});
        std::string out;
        ASSERT_TRUE(read_until(p.out, out, "ready\n", 10000ms));
        kill(c.group ? -p.pid : p.pid, c.signal);
        const run_result r = finish(p, "");
        EXPECT_EQ(out + r.out, c.out) << c.args[1];
        EXPECT_EQ(r.status, c.status) << c.args[1] << r.err;
    }
}

// Ctrl-Z in a real terminal stops the program and proctrace with it; fg
// continues both, and the report says so.
TEST(Proctrace, StopsAndGoesOnWithTheTerminal)
{
    if (emulated())
        GTEST_SKIP() << under_emulation << ", and ptrace does not reach the emulated program";
    child term = start("/usr/bin/script", {.args = {"-qfec", "bash --norc --noprofile -i", "/dev/null"}});
    std::string screen;
    const auto say = [&](const std::string& keys, const std::string& until) {
        EXPECT_EQ(write(term.in, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
        EXPECT_TRUE(read_until(term.out, screen, until, 10000ms)) << "no " << until << " in\n" << screen;
    };
    say(program("proctrace") + " sh -c 'echo g''o; exec sleep 1'\n", "go");
    say("\x1a", "Stopped");
    say("fg\n", "Lanes");
    // A second exit, should a stopped job be left: bash warns at the first.
    finish(term, "exit\nexit\n");
    EXPECT_LT(screen.find("is stopped by SIGTSTP"), screen.find("]  continues")) << screen;
}

} // namespace
