// Runs one of the kit's programs as a child process, the way a user would,
// and collects what it did.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

struct run_options {
    std::vector<std::string> args{};   // arguments after the program's path
    std::string input{};               // written to standard input, which is then closed
    std::vector<std::string> env{};    // NAME=VALUE entries added to, or replacing, the test's environment
    std::string dir{};                 // working directory; empty for the test's own
    std::string out_file{};            // standard output goes to this file instead of a pipe
    std::string in_file{};             // standard input comes from this file instead of a pipe
};

struct run_result {
    std::string out;                   // all of standard output (empty when it went to a file)
    std::string err;                   // all of standard error
    std::string out_at_exit;           // standard output as it stood when the process exited
    int status = -1;                   // exit status, or 128 + signal number
};

// The path of the built program NAME.
std::string program(const std::string& name);

// The words that run the program at `path`: the path, and before it, for a
// program of a build for another machine, the emulator that runs it.
std::vector<std::string> command(const std::string& path);

// Whether the programs run under an emulator, whose memory ordering is its
// own, not the hardware's: there, checks of the hardware's ordering and of
// what timing brings about skip with this note.
bool emulated();
inline constexpr const char* under_emulation =
    "under an emulator, whose memory ordering and timing are its own, not the hardware's";

// The environment of this test with the entries of `extra` added or replaced.
std::vector<std::string> merged_env(const std::vector<std::string>& extra);

// Pointers to the strings, then a null pointer: an argv or envp for exec.
// They stay valid as long as the strings do.
std::vector<char*> c_strings(const std::vector<std::string>& strings);

// Runs `path` to completion. Output is read until every holder of the pipes has
// closed them, so a grandchild that outlives the program is waited for too.
run_result run(const std::string& path, const run_options& options = {});

// A started process whose standard input stays open until the test finishes it.
struct child {
    pid_t pid = -1;
    int in = -1;
    int out = -1;
    int err = -1;
    std::string out_so_far{};          // standard output read before finish()
};

child start(const std::string& path, const run_options& options = {});

// Reads from `fd`, appending to `got`, until `got` holds `text`; false when
// the other end closes first (for a terminal: every process has let it go)
// or `limit` passes.
bool read_until(int fd, std::string& got, const std::string& text, std::chrono::milliseconds limit);

// Writes `input`, closes standard input, and collects the rest as run() does.
run_result finish(child& c, const std::string& input);

// A fresh folder for one test, removed with everything in it at the end.
struct scratch {
    std::filesystem::path path;

    scratch();
    ~scratch();
    scratch(const scratch&) = delete;
    scratch& operator=(const scratch&) = delete;

    // Writes FILE with TEXT, and makes it executable if asked.
    void write(const std::string& file, const std::string& text, bool executable = false) const;
};

// TEXT, a line an element, without the line ends.
std::vector<std::string> lines_of(const std::string& text);

// Whether at least two CPUs are available to this process.
bool two_cpus();

// Calls `attempt` until it returns true, or until `budget` has passed; returns
// what the last call returned. For effects that need two threads running at
// the same moment, which a busy machine allows only now and then.
bool within(std::chrono::milliseconds budget, const std::function<bool()>& attempt);

// ASAN_OPTIONS as this test has it, with SETTING added, as an environment entry.
std::string asan_options(const std::string& setting);

// Environment entries that preload the test shim, adding `settings` to them.
std::vector<std::string> shimmed(std::vector<std::string> settings);

// Environment entries that preload the test shim and make the nth call of
// `call` (pthread_create, fork or malloc) fail.
std::vector<std::string> failing(const std::string& call, int nth = 1);

// Runs `path` under valgrind's memcheck, which fails the run (status 99) on a
// leaked block or a read of uninitialised memory. Returns false where memcheck
// is not used: in a sanitizer build, which checks memory itself.
bool memcheck(const std::string& path, const run_options& options, run_result& result);
