// SPDX-License-Identifier: MIT
// Measures how exactly and how quickly loadhog puts its load on the machine,
// and what it costs beyond the load, and prints one Markdown table. Where a
// reference program exists the two are run in turn, so that both meet the
// same noise, and the result is the median of the ratios of those pairs,
// with the lowest and highest ratio beside it to show how noisy it was.

#include "procfs.hpp"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <initializer_list>
#include <map>
#include <pty.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
using command = std::vector<std::string>;

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "bench: %s\n", what.c_str());
    std::exit(1);
}

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

[[noreturn]] void exec(const command& cmd)
{
    std::vector<char*> argv;
    for (const auto& word : cmd)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

void expect_success(int status, const command& cmd)
{
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail(cmd[0] + " " + (cmd.size() > 1 ? cmd[1] : "") + " did not end with status 0");
}

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

struct whole_run {
    double wall;
    double cpu;
    double minor_faults;
};

// Runs a command to its end with standard input at end of input, so loadhog
// takes its load and lets it go at once, and with its output discarded.
whole_run run_whole(const command& cmd)
{
    const auto start = clock_type::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        exec(cmd);
    }
    int status = 0;
    rusage use{};
    wait4(pid, &status, 0, &use);
    const double wall = seconds_since(start);
    expect_success(status, cmd);
    return {wall, seconds(use.ru_utime) + seconds(use.ru_stime), static_cast<double>(use.ru_minflt)};
}

// loadhog waiting for its key, on a terminal of its own or, with `on_pipe`,
// reading a pipe; `input` is the terminal's master or the pipe's write end.
struct waiting_run {
    int input = -1;
    pid_t pid = -1;
    command cmd;
    bool on_pipe = false;
    clock_type::time_point prompted; // when the prompt was read, on a terminal
};

// loadhog waiting for its key in a session of its own, as a shell, a
// container or a service starts it; as an ordinary user would run it unless
// `privileged`. With `on_pipe` it reads a pipe instead of a terminal, and is
// waiting once all its `threads` run.
waiting_run start_waiting(const command& cmd, bool privileged = true, bool on_pipe = false, int threads = 0)
{
    waiting_run run{-1, -1, cmd, on_pipe, {}};
    int slave = -1;
    int ends[2] = {-1, -1};
    if (on_pipe ? pipe(ends) != 0 : openpty(&run.input, &slave, nullptr, nullptr, nullptr) != 0)
        fail("no pipe or pseudo-terminal");
    run.pid = fork();
    if (run.pid == 0) {
        if (!privileged)
            drop_privilege();
        setsid();
        // A benchmark started in the background of a script inherits Ctrl-C
        // and quit ignored, which loadhog would rightly keep; a terminal's
        // user has them.
        signal(SIGINT, SIG_DFL);
        signal(SIGQUIT, SIG_DFL);
        if (on_pipe) {
            const int null = open("/dev/null", O_RDWR);
            dup2(ends[0], 0);
            dup2(null, 1);
            dup2(null, 2);
        } else {
            ioctl(slave, TIOCSCTTY, 0);
            dup2(slave, 0);
            dup2(slave, 1);
            dup2(slave, 2);
        }
        closefrom(3);
        exec(cmd);
    }
    if (on_pipe) {
        close(ends[0]);
        run.input = ends[1];
        while (threads_of(run.pid).size() < static_cast<std::size_t>(threads) + 1)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return run;
    }
    close(slave);

    std::string seen;
    char buf[4096];
    while (seen.find("(press any key to stop)") == std::string::npos) {
        const ssize_t n = read(run.input, buf, sizeof buf);
        if (n <= 0)
            fail("no prompt from " + cmd[0] + ": " + seen);
        seen.append(buf, static_cast<std::size_t>(n));
    }
    run.prompted = clock_type::now();
    for (termios mode{}; tcgetattr(run.input, &mode) == 0 && (mode.c_lflag & ICANON) != 0;)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return run;
}

// Presses a key (or types `key`, Ctrl-C say, which ends the run by `ended_by`)
// and returns the seconds until the process has ended. On a pipe the byte is
// written by a process in a session of its own, as from another terminal. One
// that has not ended after `give_up` seconds is killed, and `give_up` is
// returned.
double press_key(waiting_run& run, double give_up = 1e9, char key = 'k', int ended_by = 0)
{
    const auto pressed = clock_type::now();
    if (run.on_pipe) {
        const pid_t writer = fork();
        if (writer == 0) {
            setsid();
            _exit(write(run.input, &key, 1) == 1 ? 0 : 1);
        }
        int written = 1;
        waitpid(writer, &written, 0);
        if (written != 0)
            fail("cannot write the key");
    } else if (write(run.input, &key, 1) != 1) {
        fail("cannot type");
    }
    int status = 0;
    while (waitpid(run.pid, &status, give_up < 1e9 ? WNOHANG : 0) == 0) {
        if (seconds_since(pressed) > give_up) {
            kill(run.pid, SIGKILL);
            waitpid(run.pid, &status, 0);
            close(run.input);
            return give_up;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const double wall = seconds_since(pressed);
    close(run.input);
    if (ended_by == 0)
        expect_success(status, run.cmd);
    else if (!WIFSIGNALED(status) || WTERMSIG(status) != ended_by)
        fail(run.cmd[0] + " was not ended by signal " + std::to_string(ended_by));
    return wall;
}

// Processor time of each thread of a process, in seconds, by thread id.
std::map<pid_t, double> thread_cpu(pid_t pid)
{
    std::map<pid_t, double> cpu;
    for (const auto& t : threads_of(pid))
        cpu[t.tid] = t.cpu_seconds;
    return cpu;
}

struct row {
    std::string measure;
    std::string loadhog;
    std::string reference;
    std::string ratio;
    std::string target;
};

std::string fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

void progress(const std::string& what) { std::fprintf(stderr, "bench: %s\n", what.c_str()); }

// Which figure of a whole run a row shows.
using run_field = double whole_run::*;

struct figure {
    const char* name;
    run_field field;
    int decimals;
};

// Runs loadhog and the reference in turn `runs` times and adds a row for
// each of the figures.
void compare(std::vector<row>& rows, const std::string& what, const command& loadhog, const command& reference,
             int runs, const std::vector<figure>& figures, const std::string& target)
{
    progress(what);
    std::vector<whole_run> ours;
    std::vector<whole_run> theirs;
    // Which goes first alternates, so neither always meets what the other
    // left behind (freed pages, a warm cache).
    for (int i = 0; i < runs; ++i) {
        if (i % 2 == 0)
            ours.push_back(run_whole(loadhog));
        theirs.push_back(run_whole(reference));
        if (i % 2 == 1)
            ours.push_back(run_whole(loadhog));
    }
    for (const auto& f : figures) {
        std::vector<double> a;
        std::vector<double> b;
        std::vector<double> ratios;
        for (int i = 0; i < runs; ++i) {
            a.push_back(ours[i].*f.field);
            b.push_back(theirs[i].*f.field);
            ratios.push_back(a.back() / b.back());
        }
        const auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
        rows.push_back(
            {what + ", " + f.name, fixed(median(a), f.decimals), fixed(median(b), f.decimals),
             fixed(median(ratios), 3) + (runs > 1 ? " (" + fixed(*low, 2) + "-" + fixed(*high, 2) + ")" : ""), target});
    }
}

constexpr const char* loadhog_path = LOADHOG_PATH;

// loadhog -m `mb` as a user meets it, with no fill before it: the seconds
// from its start to its prompt on a terminal, and the part of its block on
// huge pages then.
std::pair<double, long> fill_to_prompt(int mb)
{
    const auto start = clock_type::now();
    waiting_run run = start_waiting({loadhog_path, "-m", std::to_string(mb)});
    const long huge_kb = anon_huge_kb(run.pid);
    press_key(run);
    return {std::chrono::duration<double>(run.prompted - start).count(), huge_kb};
}

// The floor the reference program prints: its best rewrite of a resident
// block of `mb`, in seconds.
double fill_floor(int mb)
{
    int out[2];
    if (pipe(out) != 0)
        fail("no pipe");
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        closefrom(3);
        exec({FILL_REFERENCE_PATH, std::to_string(mb)});
    }
    close(out[1]);
    char text[64] = {};
    const ssize_t n = read(out[0], text, sizeof text - 1);
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    expect_success(status, {FILL_REFERENCE_PATH});
    if (n <= 0)
        fail("no floor from the reference");
    return std::strtod(text, nullptr);
}

// For each size, `runs` fills to the prompt against the floor measured in
// between, and the part of the block that was on huge pages.
void fill_rows(std::vector<row>& rows, std::initializer_list<int> sizes, int runs)
{
    for (const int mb : sizes) {
        const std::string what = "fill " + std::to_string(mb / 1024) + " GiB";
        progress(what);
        std::vector<double> walls;
        std::vector<double> floors;
        std::vector<double> ratios;
        std::vector<double> huge;
        for (int i = 0; i < runs; ++i) {
            const auto [wall, huge_kb] = fill_to_prompt(mb);
            walls.push_back(wall);
            huge.push_back(static_cast<double>(huge_kb) / 1024);
            floors.push_back(fill_floor(mb));
            ratios.push_back(walls.back() / floors.back());
        }
        const auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
        rows.push_back({what + ", start to prompt against the floor s", fixed(median(walls), 3),
                        fixed(median(floors), 3),
                        fixed(median(ratios), 2) + " (" + fixed(*low, 2) + "-" + fixed(*high, 2) + ")", "ratio <= 4"});
        rows.push_back({what + ", block on huge pages MiB", fixed(median(huge), 0), "", "",
                        "most of it, unless the policy is never"});
    }
}

// The first fill of a size meets memory the kernel must find, and where it
// last held small pages, make into huge ones; the floor rewrites memory
// already there. So the first of each size is slow, and the median of five
// says what a user meets most of the time.
void fill(std::vector<row>& rows) { fill_rows(rows, {1024, 2048, 4096}, 5); }

void busy(std::vector<row>& rows)
{
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    for (const int n : std::vector<int>{1, cores}) {
        progress("busy share -c " + std::to_string(n));
        std::vector<double> mean;
        std::vector<double> lowest;
        std::vector<double> initial;
        for (int i = 0; i < 5; ++i) {
            waiting_run run = start_waiting({loadhog_path, "-c", std::to_string(n)});
            const auto before = thread_cpu(run.pid);
            const auto start = clock_type::now();
            std::this_thread::sleep_for(std::chrono::seconds(3));
            const auto after = thread_cpu(run.pid);
            const double wall = seconds_since(start);
            double low = 1e9;
            double sum = 0;
            for (const auto& [tid, cpu] : after) {
                const double share = (cpu - before.at(tid)) / wall;
                if (tid == run.pid) {
                    initial.push_back(share * 1000);
                } else {
                    low = std::min(low, share);
                    sum += share;
                }
            }
            mean.push_back(sum / n);
            lowest.push_back(low);
            press_key(run);
        }
        rows.push_back({"busy -c " + std::to_string(n) + ", mean share of a core per busy thread",
                        fixed(median(mean), 3), "", "", ">= 0.97"});
        rows.push_back({"busy -c " + std::to_string(n) + ", lowest share of a core per busy thread",
                        fixed(median(lowest), 3), "", "", ">= 0.97"});
        rows.push_back({"busy -c " + std::to_string(n) + ", initial thread ms per s while waiting",
                        fixed(median(initial), 3), "", "", "< 1"});
    }
}

void footprint(std::vector<row>& rows)
{
    for (const int n : {0, 64}) {
        progress("footprint -c " + std::to_string(n));
        std::vector<double> kb;
        for (int i = 0; i < 3; ++i) {
            waiting_run run = start_waiting({loadhog_path, "-c", std::to_string(n)});
            kb.push_back(static_cast<double>(resident_kb(run.pid)));
            press_key(run);
        }
        rows.push_back({"footprint -m 0 -c " + std::to_string(n) + ", resident KiB", fixed(median(kb), 0), "", "", ""});
    }
}

void start(std::vector<row>& rows)
{
    // The plain start slows with the square of the count: a few hundred
    // threads take a moment, two thousand take minutes, so it is run fewer
    // times there.
    const std::vector<figure> wall_only = {{"wall s", &whole_run::wall, 3}};
    std::map<int, double> start_wall;
    for (const auto& [n, runs] : std::vector<std::pair<int, int>>{{200, 5}, {1000, 3}, {2000, 1}}) {
        compare(rows, "start -c " + std::to_string(n), {loadhog_path, "-c", std::to_string(n)},
                {START_REFERENCE_PATH, std::to_string(n)}, runs, wall_only, n == 2000 ? "loadhog < 1 s" : "");
        start_wall[n] = std::strtod(rows.back().loadhog.c_str(), nullptr);
    }
    rows.push_back(
        {"start, wall(-c 2000) / wall(-c 200)", fixed(start_wall[2000] / start_wall[200], 1), "", "", "<= 20"});
}

void key_to_exit(std::vector<row>& rows)
{
    for (const auto& [n, target] : std::vector<std::pair<int, std::string>>{{0, ""}, {64, "<= 0.3"}, {500, "<= 1"}}) {
        progress("key to exit -m 2048 -c " + std::to_string(n));
        std::vector<double> wall;
        for (int i = 0; i < 5; ++i) {
            waiting_run run = start_waiting({loadhog_path, "-m", "2048", "-c", std::to_string(n)});
            wall.push_back(press_key(run));
        }
        rows.push_back({"key to exit -m 2048 -c " + std::to_string(n) + ", s", fixed(median(wall), 3), "", "", target});
    }
}

// Key to exit (or Ctrl-C, with `key` and `ended_by`) after the load has been
// held `hold` seconds; given up after 60 s.
double held(waiting_run run, int hold = 10, char key = 'k', int ended_by = 0)
{
    std::this_thread::sleep_for(std::chrono::seconds(hold));
    return press_key(run, 60, key, ended_by);
}

std::string shown(double s) { return fixed(s, 3) + (s >= 60 ? " (given up)" : ""); }

// How start and key to exit scale with the number of busy threads, written
// as the data files sweep-start.dat and sweep-exit.dat in the current folder
// for bench/sweep.gp to draw ("-" where there is no figure). Key to exit is
// measured with the load held 10 s, since right after the start most busy
// threads still sit where they were started and the key is taken faster:
// with the right to use the real-time class (run as root) and without it, a
// key on the terminal and, from 2000 threads, a byte on a pipe written from
// another session and, without the right, a key after holds of 30 and 60 s
// too, and Ctrl-C after 30 s at the most threads. A run is given up after
// 60 s. Run as root, the benchmark itself waits in the real-time class, so
// that with every process in one task group (automatic groups off) its own
// clock is not held up by the busy threads.
const std::vector<int> sweep_counts = {100, 500, 1000, 2000, 5000, 10000};

void measure_in_real_time()
{
    const sched_param measuring{2};
    sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &measuring);
}

// The start half of the sweep alone, `sweep-start`.
void sweep_start(std::vector<row>& rows)
{
    measure_in_real_time();
    std::FILE* start_data = std::fopen("sweep-start.dat", "w");
    if (start_data == nullptr)
        fail("cannot write the sweep's data files");
    std::fprintf(start_data, "# threads loadhog_s plain_start_s\n");
    for (const int n : sweep_counts) {
        progress("sweep start -c " + std::to_string(n));
        const std::string count = std::to_string(n);
        std::vector<double> ours(3);
        for (double& wall : ours)
            wall = run_whole({loadhog_path, "-c", count}).wall;
        // The plain start grows with the square of the count: minutes beyond 2000.
        const std::string plain = n <= 2000 ? fixed(run_whole({START_REFERENCE_PATH, count}).wall, 3) : "-";
        std::fprintf(start_data, "%d %.3f %s\n", n, median(ours), plain.c_str());
        rows.push_back({"sweep start -c " + count + ", wall s", fixed(median(ours), 3), plain, "", ""});
    }
    std::fclose(start_data);
}

void sweep(std::vector<row>& rows)
{
    sweep_start(rows);
    const std::vector<int>& counts = sweep_counts;
    std::FILE* exit_data = std::fopen("sweep-exit.dat", "w");
    if (exit_data == nullptr)
        fail("cannot write the sweep's data files");
    std::fprintf(exit_data, "# threads privileged_s unprivileged_key_s unprivileged_pipe_s unprivileged_key_after_30_s "
                            "unprivileged_key_after_60_s (held 10 s unless named; 60 = given up)\n");
    for (const int n : counts) {
        const std::string count = std::to_string(n);
        const command cmd = {loadhog_path, "-m", "2048", "-c", count};
        progress("sweep key to exit -c " + count + ": privileged, then unprivileged");
        const double privileged = held(start_waiting(cmd, true));
        const double key = held(start_waiting(cmd, false));
        std::string pipe = "-";
        std::string longer = "- -";
        rows.push_back({"sweep key to exit -m 2048 -c " + count + ", held 10 s, privileged / unprivileged s",
                        shown(privileged), shown(key), "",
                        n >= 2000 ? "privileged <= 0.5, unprivileged <= 1" : "privileged <= 0.5"});
        if (n >= 2000) {
            progress("sweep byte on a pipe from another session -c " + count + ", unprivileged");
            const double byte = held(start_waiting(cmd, false, true, n));
            pipe = fixed(byte, 3);
            rows.push_back(
                {"sweep byte on a pipe from another session -m 2048 -c " + count + ", held 10 s, unprivileged s",
                 shown(byte), "", "", "<= 1"});
            progress("sweep key to exit -c " + count + ", held 30 s and 60 s, unprivileged");
            const double after_30 = held(start_waiting(cmd, false), 30);
            const double after_60 = held(start_waiting(cmd, false), 60);
            longer = fixed(after_30, 3) + " " + fixed(after_60, 3);
            rows.push_back({"sweep key to exit -m 2048 -c " + count + ", unprivileged, held 30 s / 60 s",
                            shown(after_30), shown(after_60), "", "<= 1"});
        }
        if (n == counts.back()) {
            progress("sweep Ctrl-C -c " + count + ", held 30 s, unprivileged");
            rows.push_back({"sweep Ctrl-C -m 2048 -c " + count + ", held 30 s, unprivileged s",
                            shown(held(start_waiting(cmd, false), 30, '\x03', SIGINT)), "", "", "<= 1"});
        }
        std::fprintf(exit_data, "%d %.3f %.3f %s %s\n", n, privileged, key, pipe.c_str(), longer.c_str());
    }
    std::fclose(exit_data);
}

// What scripts/check-kernel prints for the kernel it boots: every one of
// three whole runs at -c 200 and 2000; key to exit with the right to use the
// real-time class at -c 2000 after a 10 s hold; without it, three runs each
// at -c 2000 and 5000 after holds of 10 and 30 s, and Ctrl-C at 5000 after
// 30 s.
void kernel(std::vector<row>& rows)
{
    fill_rows(rows, {1024}, 3);
    for (const int n : {200, 2000}) {
        const std::string count = std::to_string(n);
        progress("kernel start -c " + count);
        std::string walls;
        for (int i = 0; i < 3; ++i)
            walls += (i > 0 ? ", " : "") + fixed(run_whole({loadhog_path, "-c", count}).wall, 3);
        rows.push_back({"start -c " + count + ", three whole runs, wall s", walls, "", "", ""});
    }
    const auto cmd = [](int n) { return command{loadhog_path, "-m", "256", "-c", std::to_string(n)}; };
    progress("kernel key to exit -c 2000, privileged");
    rows.push_back({"key to exit -m 256 -c 2000, held 10 s, privileged s", shown(held(start_waiting(cmd(2000), true))),
                    "", "", ""});
    const auto three = [&](int n, int hold, char key, int ended_by) {
        std::string walls;
        for (int i = 0; i < 3; ++i)
            walls += (i > 0 ? ", " : "") + shown(held(start_waiting(cmd(n), false), hold, key, ended_by));
        return walls;
    };
    for (const int n : {2000, 5000}) {
        for (const int hold : {10, 30}) {
            const std::string what = "-c " + std::to_string(n) + ", held " + std::to_string(hold) + " s";
            progress("kernel key to exit " + what + ", unprivileged");
            rows.push_back(
                {"key to exit -m 256 " + what + ", unprivileged, three runs s", three(n, hold, 'k', 0), "", "", ""});
        }
    }
    progress("kernel Ctrl-C -c 5000, held 30 s, unprivileged");
    rows.push_back(
        {"Ctrl-C -m 256 -c 5000, held 30 s, unprivileged, three runs s", three(5000, 30, '\x03', SIGINT), "", "", ""});
}

} // namespace

// Runs the sections named on the command line, or all but the sweep and the
// kernel check's, which run only when named.
int main(int argc, char* argv[])
{
    const std::vector<std::pair<std::string, void (*)(std::vector<row>&)>> sections = {
        {"fill", fill},        {"busy", busy},   {"footprint", footprint},     {"start", start},
        {"exit", key_to_exit}, {"sweep", sweep}, {"sweep-start", sweep_start}, {"kernel", kernel},
    };
    const std::vector<std::string> asked(argv + 1, argv + argc);
    std::vector<row> rows;
    for (const auto& [name, section] : sections)
        if ((asked.empty() && name.rfind("sweep", 0) != 0 && name != "kernel") ||
            std::find(asked.begin(), asked.end(), name) != asked.end())
            section(rows);

    std::printf("| measure | loadhog | reference | ratio | target |\n|---|---:|---:|---:|---|\n");
    for (const auto& r : rows)
        std::printf("| %s | %s | %s | %s | %s |\n", r.measure.c_str(), r.loadhog.c_str(), r.reference.c_str(),
                    r.ratio.c_str(), r.target.c_str());
    return 0;
}
