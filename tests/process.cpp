#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace {

// A test's own process must not hang for ever on a program that does.
constexpr auto run_limit = std::chrono::seconds(120);

[[noreturn]] void broken(const char* call)
{
    throw std::system_error(errno, std::generic_category(), call);
}

void make_pipe(int fds[2])
{
    if (pipe2(fds, O_CLOEXEC) == -1)
        broken("pipe2");
}

int status_of(int wstatus)
{
    if (WIFEXITED(wstatus))
        return WEXITSTATUS(wstatus);
    return 128 + WTERMSIG(wstatus);
}

bool read_some(int fd, std::string& into)
{
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
        into.append(buf, static_cast<std::size_t>(n));
        return true;
    }
    if (n == -1 && (errno == EINTR || errno == EAGAIN))
        return true;
    return false;
}

} // namespace

std::string program(const std::string& name)
{
    return std::string(OSPRIMER_BIN_DIR) + "/" + name;
}

std::vector<std::string> command(const std::string& path)
{
    std::vector<std::string> words;
#ifdef EMULATOR
    if (path.starts_with(OSPRIMER_BIN_DIR "/")) {
        std::istringstream emulator(EMULATOR);
        for (std::string word; emulator >> word;)
            words.push_back(word);
    }
#endif
    words.push_back(path);
    return words;
}

bool emulated()
{
#ifdef EMULATOR
    return true;
#else
    return false;
#endif
}

std::vector<std::string> merged_env(const std::vector<std::string>& extra)
{
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; e++) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const auto& x : extra)
            replaced = replaced || x.compare(0, name.size(), name) == 0;
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char*> c_strings(const std::vector<std::string>& strings)
{
    std::vector<char*> pointers(strings.size() + 1, nullptr);
    std::transform(strings.begin(), strings.end(), pointers.begin(),
                   [](const std::string& s) { return const_cast<char*>(s.c_str()); });
    return pointers;
}

child start(const std::string& path, const run_options& options)
{
    // Everything the child needs is built before fork: after it, only
    // async-signal-safe calls.
    const std::vector<std::string> env = merged_env(options.env);
    std::vector<std::string> args = command(path);
    args.insert(args.end(), options.args.begin(), options.args.end());
    const std::vector<char*> envp = c_strings(env);
    const std::vector<char*> argv = c_strings(args);

    int in[2];
    int out[2];
    int err[2];
    make_pipe(in);
    make_pipe(out);
    make_pipe(err);
    int out_fd = out[1];
    if (!options.out_file.empty()) {
        out_fd = open(options.out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out_fd == -1)
            broken("open");
    }

    int in_fd = in[0];
    if (!options.in_file.empty()) {
        in_fd = open(options.in_file.c_str(), O_RDONLY | O_CLOEXEC);
        if (in_fd == -1)
            broken("open");
    }

    const pid_t pid = fork();
    if (pid == -1)
        broken("fork");
    if (pid == 0) {
        if (dup2(in_fd, 0) == -1 || dup2(out_fd, 1) == -1 || dup2(err[1], 2) == -1)
            _exit(126);
        if (!options.dir.empty() && chdir(options.dir.c_str()) == -1)
            _exit(126);
        execve(argv[0], argv.data(), envp.data());
        _exit(126);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (out_fd != out[1])
        close(out_fd);
    if (in_fd != in[0])
        close(in_fd);
    if (!options.out_file.empty()) {
        // Nothing will come through the pipe; let the reader see its end at once.
        close(out[0]);
        out[0] = -1;
    }
    return child{pid, in[1], out[0], err[0]};
}

bool read_until(int fd, std::string& got, const std::string& text, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (got.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready == -1 && errno != EINTR)
            broken("poll");
        if (ready > 0 && !read_some(fd, got))
            return false;
    }
    return true;
}

run_result finish(child& c, const std::string& input)
{
    run_result r;
    r.out = c.out_so_far;
    // A program that reads less than it is given closes its end early; the
    // test must see that as an ordinary outcome, not die of SIGPIPE.
    if (signal(SIGPIPE, SIG_IGN) == SIG_ERR)
        broken("signal");
    std::size_t written = 0;
    if (input.empty()) {
        close(c.in);
        c.in = -1;
    }
    bool exited = false;
    const auto deadline = std::chrono::steady_clock::now() + run_limit;
    while (c.in != -1 || c.out != -1 || c.err != -1 || !exited) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(c.pid, SIGKILL);
            throw std::runtime_error("program ran too long");
        }
        pollfd p[3] = {{c.in, POLLOUT, 0}, {c.out, POLLIN, 0}, {c.err, POLLIN, 0}};
        // A short timeout so that the moment of exit is noticed while a
        // grandchild still holds the pipes open.
        if (poll(p, 3, 10) == -1 && errno != EINTR)
            broken("poll");
        if (c.in != -1 && (p[0].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
            const ssize_t n = write(c.in, input.data() + written, input.size() - written);
            if (n > 0)
                written += static_cast<std::size_t>(n);
            if (n == -1 || written == input.size()) {
                close(c.in);
                c.in = -1;
            }
        }
        if (c.out != -1 && (p[1].revents & (POLLIN | POLLHUP)) != 0 && !read_some(c.out, r.out)) {
            close(c.out);
            c.out = -1;
        }
        if (c.err != -1 && (p[2].revents & (POLLIN | POLLHUP)) != 0 && !read_some(c.err, r.err)) {
            close(c.err);
            c.err = -1;
        }
        int wstatus = 0;
        if (!exited && waitpid(c.pid, &wstatus, WNOHANG) == c.pid) {
            exited = true;
            r.status = status_of(wstatus);
            // What the program wrote before it ended is in the pipe already.
            if (c.out != -1) {
                const int flags = fcntl(c.out, F_GETFL);
                fcntl(c.out, F_SETFL, flags | O_NONBLOCK);
                char buf[4096];
                ssize_t n;
                while ((n = read(c.out, buf, sizeof buf)) > 0)
                    r.out.append(buf, static_cast<std::size_t>(n));
                fcntl(c.out, F_SETFL, flags);
            }
            r.out_at_exit = r.out;
        }
    }
    return r;
}

run_result run(const std::string& path, const run_options& options)
{
    child c = start(path, options);
    return finish(c, options.input);
}

bool two_cpus()
{
    cpu_set_t set;
    return sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) >= 2;
}

bool within(std::chrono::milliseconds budget, const std::function<bool()>& attempt)
{
    const auto deadline = std::chrono::steady_clock::now() + budget;
    bool done = attempt();
    while (!done && std::chrono::steady_clock::now() < deadline)
        done = attempt();
    return done;
}

scratch::scratch()
{
    std::string name = (std::filesystem::temp_directory_path() / "osprimer-XXXXXX").string();
    if (mkdtemp(name.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path = name;
}

scratch::~scratch()
{
    std::filesystem::remove_all(path);
}

void scratch::write(const std::string& file, const std::string& text, bool executable) const
{
    std::filesystem::create_directories((path / file).parent_path());
    std::ofstream(path / file) << text;
    if (executable)
        std::filesystem::permissions(path / file, std::filesystem::perms::owner_all);
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string asan_options(const std::string& setting)
{
    const char* asan = std::getenv("ASAN_OPTIONS"); // NOLINT(concurrency-mt-unsafe): no thread sets the environment
    return std::string("ASAN_OPTIONS=") + (asan != nullptr ? std::string(asan) + ":" : "") + setting;
}

std::vector<std::string> shimmed(std::vector<std::string> settings)
{
    settings.push_back("LD_PRELOAD=" SHIM);
    // An AddressSanitizer build insists on being first in the library list;
    // the shim must come first to stand in front of the calls it meddles with.
    settings.push_back(asan_options("verify_asan_link_order=0"));
    return settings;
}

std::vector<std::string> failing(const std::string& call, int nth)
{
    return shimmed({"FAIL_CALL=" + call, "FAIL_NTH=" + std::to_string(nth)});
}

bool memcheck(const std::string& path, const run_options& options, run_result& result)
{
#ifdef MEMCHECK
    run_options o = options;
    o.args = {"-q", "--leak-check=full", "--errors-for-leak-kinds=definite", "--error-exitcode=99", path};
    o.args.insert(o.args.end(), options.args.begin(), options.args.end());
    result = run(MEMCHECK, o);
    return true;
#else
    static_cast<void>(path);
    static_cast<void>(options);
    static_cast<void>(result);
    return false;
#endif
}
