// listwait, topwait and listnowait, run as programs with chosen PATHs,
// stand-in programs and terminals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "process.h"

namespace {

const char* const no_ls_line = "This will not print if exec succeeds.\n";
const char* const parent_line = "Parent still running...\n";

std::vector<std::string> sorted_lines(const std::string& text)
{
    std::vector<std::string> lines = lines_of(text);
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST(Listwait, PrintsTheListingOfItsFolderAndThenItsLine)
{
    scratch dir;
    dir.write("notes.txt", "some words\n");
    dir.write("sub/inner.txt", "more\n");
    const run_result ls = run("/bin/ls", {.args = {"-l"}, .dir = dir.path.string()});
    ASSERT_NE(ls.out.find("notes.txt"), std::string::npos);
    const run_result r = run(program("listwait"), {.dir = dir.path.string()});
    EXPECT_EQ(r.out, ls.out + parent_line);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

struct missing {
    const char* program;
    const char* out;
    const char* err;
    bool any_order;    // the parent does not wait, so the lines may come either way round
    const char* reaped; // how the child ended, as the parent's wait saw it
};

// With nothing to run on PATH, the child says so and ends with status 127, as
// a shell's child does; the parent carries on. The parent discards the status,
// so the shim notes it as the wait reaps the child.
TEST(Launchers, CarryOnWhenThePathHoldsNoProgramToRun)
{
    scratch empty;
    const missing cases[] = {
        {"listwait", "This will not print if exec succeeds.\nParent still running...\n",
         "listwait: cannot run ls: No such file or directory\n", false, "exit 127\n"},
        {"listnowait", "This will not print if exec succeeds.\nParent still running...\n",
         "listnowait: cannot run ls: No such file or directory\n", true, ""},
        {"topwait", "Child finished\n", "topwait: cannot run top: No such file or directory\n", false, "exit 127\n"},
    };
    for (const auto& c : cases) {
        const std::string reaped = (empty.path / (std::string(c.program) + ".reaped")).string();
        const run_result r = run(program(c.program), {.env = shimmed({"PATH=" + empty.path.string(), "CHILD_STATUS=" + reaped})});
        std::ifstream file(reaped);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), c.reaped) << c.program;
        if (c.any_order) {
            EXPECT_EQ(sorted_lines(r.out), sorted_lines(c.out)) << c.program;
        } else {
            EXPECT_EQ(r.out, c.out) << c.program;
        }
        EXPECT_EQ(r.err, c.err) << c.program;
        EXPECT_EQ(r.status, 0) << c.program;
    }
}

struct stand_in {
    const char* program;
    const char* out_at_exit;   // standard output when the program itself had ended
    const char* out;           // all of it, once the stand-in had ended too
};

// A stand-in for ls or top, first on PATH, takes a second and then prints its
// arguments: a parent that waits prints its line after them, and one that
// does not has ended before them.
TEST(Launchers, WaitForTheChildOrNotAsTheyShould)
{
    scratch dir;
    for (const char* name : {"ls", "top"})
        dir.write(std::string("bin/") + name, std::string("#!/bin/sh\nsleep 1\necho \"stand-in ") + name + " ($#) $*\"\n", true);
    const std::string path = "PATH=" + (dir.path / "bin").string() + ":/usr/bin:/bin";
    const stand_in cases[] = {
        {"listwait", "stand-in ls (1) -l\nParent still running...\n", "stand-in ls (1) -l\nParent still running...\n"},
        {"topwait", "stand-in top (0) \nChild finished\n", "stand-in top (0) \nChild finished\n"},
        {"listnowait", "Parent still running...\n", "Parent still running...\nstand-in ls (1) -l\n"},
    };
    for (const auto& c : cases) {
        const run_result r = run(program(c.program), {.env = {path}});
        EXPECT_EQ(r.out_at_exit, c.out_at_exit) << c.program;
        EXPECT_EQ(r.out, c.out) << c.program;
        EXPECT_EQ(r.err, "") << c.program;
        EXPECT_EQ(r.status, 0) << c.program;
    }
}

// Standard output to a file is fully buffered: a line still in the buffer at
// fork would be printed twice, and a child that skipped the flush at its exit
// would lose its line.
TEST(Launchers, PrintEachLineOnceWhenOutputGoesToAFile)
{
    scratch dir;
    dir.write("listed/file.txt", "x\n");
    const std::string out = (dir.path / "out.txt").string();
    const std::string no_ls = "PATH=" + (dir.path / "listed").string();
    const run_result ls = run("/bin/ls", {.args = {"-l"}, .dir = (dir.path / "listed").string()});
    const struct {
        const char* program;
        std::string path;
        std::string expected;
    } cases[] = {
        {"listwait", no_ls, std::string(no_ls_line) + parent_line},
        {"listnowait", no_ls, std::string(no_ls_line) + parent_line},
        {"topwait", no_ls, "Child finished\n"},
        {"listwait", "PATH=/usr/bin:/bin", ls.out + parent_line},
        {"listnowait", "PATH=/usr/bin:/bin", ls.out + parent_line},
    };
    for (const auto& c : cases) {
        // Every holder of standard error has closed it by the time run()
        // returns, so the child that listnowait left behind has ended too.
        const run_result r = run(program(c.program), {.env = {c.path}, .dir = (dir.path / "listed").string(), .out_file = out});
        std::ifstream file(out);
        const std::string written((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        EXPECT_EQ(sorted_lines(written), sorted_lines(c.expected)) << c.program << " with " << c.path;
        EXPECT_EQ(r.status, 0) << c.program;
    }
}

TEST(Launchers, ReportAFailedForkAndPrintNoParentLine)
{
    for (const char* name : {"listwait", "topwait", "listnowait"}) {
        const run_result r = run(program(name), {.env = failing("fork")});
        EXPECT_EQ(r.err, std::string(name) + ": fork: Resource temporarily unavailable\n");
        EXPECT_EQ(r.out, "") << name;
        EXPECT_EQ(r.status, 1) << name;
    }
}

// topwait with the real top, in a pseudo-terminal as a user would run it.
TEST(Topwait, PrintsItsLineOnlyOnceTopHasBeenQuit)
{
    int master = -1;
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 80;
    const std::vector<std::string> env = merged_env({"TERM=xterm", "PATH=/usr/bin:/bin"});
    const std::vector<char*> envp = c_strings(env);
    const std::vector<std::string> args = command(program("topwait"));
    const std::vector<char*> argv = c_strings(args);

    const pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        execve(argv[0], argv.data(), envp.data());
        _exit(126);
    }
    std::string screen;
    // top draws its summary, with the load average, as soon as it runs.
    const bool top_ran = read_until(master, screen, "load average", std::chrono::seconds(20));
    // Give topwait a moment in which a parent that did not wait would print.
    read_until(master, screen, "Child finished", std::chrono::milliseconds(1500));
    const std::size_t shown_before_q = screen.size();
    EXPECT_TRUE(top_ran) << "top never drew its screen:\n" << screen;
    EXPECT_EQ(screen.find("Child finished"), std::string::npos) << "printed while top was still running";

    ASSERT_EQ(write(master, "q", 1), 1);
    EXPECT_TRUE(read_until(master, screen, "Child finished\r\n", std::chrono::seconds(20))) << screen;
    EXPECT_GE(screen.find("Child finished"), shown_before_q);
    int wstatus = 0;
    ASSERT_EQ(waitpid(pid, &wstatus, 0), pid);
    EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0);
    close(master);
}

} // namespace
