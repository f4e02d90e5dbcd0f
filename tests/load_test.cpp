// SPDX-License-Identifier: MIT
#include "handover.hpp"
#include "harness.hpp"
#include "load.hpp"
#include "procfs.hpp"
#include "settings.hpp"
#include "signals.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#if __has_include(<sys/rseq.h>)
#include <sys/rseq.h>
#endif
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

namespace {

struct fill_case {
    const char* name;
    std::int64_t bytes;
    std::string line;
    bool on_huge_pages; // where the system has them and lets the program ask
};

const fill_case fill_cases[] = {
    {"nothing", 0, "Using 0 MB of RAM\n", false},
    {"part of a page", 3000, "Using 0 MB of RAM\n", false},
    {"just under 64 MB, by one writer", (64 << 20) - 1, "Using 63 MB of RAM\n", false},
    {"64 MB and a bit, by every processor", (64 << 20) + 4096 + 5, "Using 64 MB of RAM\n", true},
    {"200 MB and an odd part, by every processor", (200 << 20) + (3 << 19) + 12345, "Using 201 MB of RAM\n", true},
};

// Whether the system hands out transparent huge pages to a program that asks.
bool huge_pages_asked_for()
{
    std::ifstream policy("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string text;
    std::getline(policy, text);
    return !text.empty() && text.find("[never]") == std::string::npos && !emulated();
}

TEST_ROWS(fill, fill_cases);

// A block that is only reserved has pages the kernel has not yet handed out.
TEST_P(fill, makes_every_page_of_the_block_resident_and_zero)
{
    const auto& c = GetParam();
    testing::internal::CaptureStdout();
    auto* block = static_cast<unsigned char*>(get_ram(settings{c.bytes, 0}));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line);

    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    unsigned char* first = block - reinterpret_cast<std::uintptr_t>(block) % page;
    const auto length = static_cast<std::size_t>(block - first) + static_cast<std::size_t>(c.bytes);
    std::vector<unsigned char> resident((length + page - 1) / page);
    ASSERT_EQ(mincore(first, length, resident.data()), 0);
    ASSERT_EQ(std::ranges::count_if(resident, [](unsigned char r) { return (r & 1) == 0; }), 0)
        << "pages not resident, of " << resident.size();
    EXPECT_TRUE(std::all_of(block, block + c.bytes, [](unsigned char b) { return b == 0; }));
    if (c.on_huge_pages && huge_pages_asked_for()) {
        EXPECT_GT(anon_huge_kb(getpid(), block + c.bytes / 2), 0);
    }
    std::free(block);
}

struct hold_case {
    const char* name;
    std::vector<std::string> args;
    long min_resident_mb;
    int busy_threads;
};

const hold_case hold_cases[] = {
    {"memory only", {"-m", "256"}, 256, 0},
    {"one busy thread", {"-c", "1"}, 0, 1},
    {"a busy thread per core", {"-m", "64", "-c", "2"}, 64, 2},
};

TEST_ROWS(hold, hold_cases);

// While the program waits for its key the block is resident, and the busy
// threads burn what plain spinning threads would, the waiting one nothing.
TEST_P(hold, keeps_the_requested_load_while_waiting)
{
    const auto& c = GetParam();
    if (c.busy_threads > static_cast<int>(std::thread::hardware_concurrency()))
        GTEST_SKIP() << "fewer cores than busy threads";
    pty_run run(c.args, default_mode());
    ASSERT_TRUE(wait_for_key_mode(run)) << run.seen;

    EXPECT_GE(resident_kb(run.prog), c.min_resident_mb * 1024);
    EXPECT_EQ(thread_count(run.prog), c.busy_threads + bare_thread_count());

    // Plain threads in a session of their own, as the program's are, measured
    // in the same window: a busy thread gets what else running leaves it.
    const pid_t plain = c.busy_threads > 0 ? fork() : -1;
    if (plain == 0) {
        setsid();
        for (int i = 0; i < c.busy_threads; ++i)
            std::thread([] {
                for (;;)
                    asm volatile("");
            }).detach();
        pause();
    }
    // Once they have run a little, as a new thread is placed ahead at first.
    EXPECT_TRUE(plain < 0 || eventually([&] { return cpu_seconds(plain) >= 0.05 * c.busy_threads; }));
    const double cpu_before = cpu_seconds(run.prog);
    const double plain_before = plain > 0 ? cpu_seconds(plain) : 0;
    const auto wall_before = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count();
    const double cores = (cpu_seconds(run.prog) - cpu_before) / wall;
    const double plain_cores = plain > 0 ? (cpu_seconds(plain) - plain_before) / wall : 0;
    if (plain > 0) {
        kill(plain, SIGKILL);
        waitpid(plain, nullptr, 0);
    }
    // A loop that was optimised away, sleeps or blocks gives next to nothing;
    // the rest leaves room for tests run beside this one.
    EXPECT_GE(cores, 0.35 * plain_cores) << "plain spinning threads had " << plain_cores;
    EXPECT_LE(cores, c.busy_threads + 0.2);

    type(run, "k");
    EXPECT_EQ(finish(run), 0) << run.seen;
}

// A set of processors as the kernel reads a list of them: "0,1,3".
std::string cpu_list(const cpu_set_t& set)
{
    std::string list;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &set))
            list.append(list.empty() ? "" : ",").append(std::to_string(cpu));
    return list;
}

struct start_case {
    const char* name;
    int nice;
    // The processors it starts on; widened_cpuset: a cpuset of the first two,
    // widened to all once the load runs.
    enum : std::uint8_t { all, last_one, all_but_first, widened_cpuset } processors;
    bool privileged; // keeps the right to raise its scheduling
    bool without_rseq = false;
};

const start_case start_cases[] = {
    {"all processors", 0, start_case::all, false},
    {"started niced", 5, start_case::all, false},
    {"one processor", 0, start_case::last_one, false},
    {"all processors but the first", 0, start_case::all_but_first, false},
    {"privileged, waiting in real time", 0, start_case::all, true},
    {"privileged, started niced", 5, start_case::all, true},
    {"without restartable sequences", 0, start_case::all, false, true},
    {"in a cpuset widened once all run", 0, start_case::widened_cpuset, false},
};

bool write_text(const std::string& path, const std::string& text)
{
    return (std::ofstream(path) << text << std::flush).good();
}

// A cgroup v2 of this test's own whose cpuset holds the first two processors
// of `set`, or "" where none can be made (no root, no cgroup v2 cpuset).
std::string cpuset_of_two(const cpu_set_t& set)
{
    std::string path = "/sys/fs/cgroup/loadhog-test-" + std::to_string(getpid());
    cpu_set_t two;
    CPU_ZERO(&two);
    for (int cpu = 0; cpu < CPU_SETSIZE && CPU_COUNT(&two) < 2; ++cpu)
        if (CPU_ISSET(cpu, &set))
            CPU_SET(cpu, &two);
    if (!write_text("/sys/fs/cgroup/cgroup.subtree_control", "+cpuset") || mkdir(path.c_str(), 0755) != 0)
        return "";
    if (!write_text(path + "/cpuset.cpus", cpu_list(two))) {
        rmdir(path.c_str());
        return "";
    }
    return path;
}

bool real_time_allowed()
{
    const pid_t child = fork();
    if (child == 0) {
        const sched_param lowest{1};
        _exit(sched_setscheduler(0, SCHED_FIFO, &lowest) == 0 ? 0 : 1);
    }
    int status = 1;
    waitpid(child, &status, 0);
    return status == 0;
}

TEST_ROWS(busy_threads, start_cases);

// Once the cores line is out each thread runs as with default attributes: on
// the processors the process started with, at its nice value, the busy ones in
// the normal class with the handled signals blocked; with or without
// restartable sequences.
TEST_P(busy_threads, have_the_processors_and_scheduling_the_process_started_with)
{
    const auto& c = GetParam();
    cpu_set_t set;
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    int first = 0;
    int last = CPU_SETSIZE - 1;
    while (!CPU_ISSET(first, &set))
        ++first;
    while (!CPU_ISSET(last, &set))
        --last;
    if (c.processors == start_case::last_one) {
        CPU_ZERO(&set);
        CPU_SET(last, &set);
    } else if (c.processors == start_case::all_but_first) {
        CPU_CLR(first, &set);
        if (CPU_COUNT(&set) < 2)
            GTEST_SKIP() << "needs three processors or more";
    }
    std::string cpuset;
    if (c.processors == start_case::widened_cpuset) {
        if (CPU_COUNT(&set) < 3)
            GTEST_SKIP() << "needs three processors or more";
        cpuset = cpuset_of_two(set);
        if (cpuset.empty())
            GTEST_SKIP() << "needs root and a cpuset in cgroup v2";
    }
    if (c.privileged && !real_time_allowed())
        GTEST_SKIP() << "the real-time class is refused here";

    pty_run run(
        {"-c", "16"}, default_mode(), {},
        [&] {
            if (!cpuset.empty())
                write_text(cpuset + "/cgroup.procs", "0");
            else
                sched_setaffinity(0, sizeof set, &set);
            setpriority(PRIO_PROCESS, 0, c.nice);
            if (c.without_rseq)
                setenv("GLIBC_TUNABLES", "glibc.pthread.rseq=0", 1);
        },
        c.privileged);
    ASSERT_TRUE(wait_for_key_mode(run)) << run.seen;
    // Plain threads follow their cpuset when it is widened, and so must these.
    if (!cpuset.empty()) {
        EXPECT_TRUE(write_text(cpuset + "/cpuset.cpus", cpu_list(set)));
    }

    // Every signal with a handler goes to the initial thread, never to a busy one.
    const sigset_t waits = wait_signals();
    unsigned long long handled = 0;
    for (int sig = 1; sig <= 64; ++sig)
        handled |= sigismember(&waits, sig) == 1 ? 1ULL << (sig - 1) : 0;

    // An emulator keeps the program's signal masks from the kernel.
    if (emulated())
        std::printf("not checked under emulation: the busy threads' blocked signals\n");

    const auto threads = threads_of(run.prog);
    EXPECT_EQ(threads.size(), 16u + static_cast<unsigned>(bare_thread_count()));
    for (const auto& t : threads) {
        EXPECT_TRUE(CPU_EQUAL(&t.cpus, &set)) << "thread " << t.tid;
        EXPECT_EQ(t.nice, c.nice) << "thread " << t.tid;
        if (t.tid != run.prog) {
            EXPECT_EQ(t.policy, SCHED_OTHER) << "thread " << t.tid;
            if (!emulated()) {
                EXPECT_EQ(t.blocked & handled, handled) << "thread " << t.tid;
            }
        }
    }

    type(run, "k");
    EXPECT_EQ(finish(run), 0) << run.seen;
    EXPECT_EQ(run.seen, "RAM=0\r\nUsing 0 MB of RAM\r\nUsing 16 CPU cores\r\n(press any key to stop)\r\nk");
    EXPECT_TRUE(same_mode(run.left, run.found));
    if (!cpuset.empty())
        rmdir(cpuset.c_str());
}

struct make_way_case {
    const char* name;
    bool deciding; // the wait has woken and decides
    int pending;   // a signal pending for the process
    bool ignored;  // ... which was ignored at start, so the wait never takes it
    bool waits;    // make_way sleeps until decided()
};

const make_way_case make_way_cases[] = {
    {"with nothing to decide", false, 0, false, false},
    {"while the wait is deciding", true, 0, false, true},
    {"while a signal the wait takes is pending", false, SIGUSR1, false, true},
    {"never for a signal ignored at start", false, SIGTSTP, true, false},
};

TEST_ROWS(make_way_for_the_wait, make_way_cases);

// A busy thread makes way while the wait has something to decide, until it
// has. In a child, as a process watches the wait's signals once.
TEST_P(make_way_for_the_wait, sleeps_only_until_the_wait_has_decided)
{
    const auto& c = GetParam();
    int decide[2];
    int returned[2];
    ASSERT_TRUE(pipe(decide) == 0 && pipe(returned) == 0);
    const pid_t child = fork();
    if (child == 0) {
        if (c.ignored)
            signal(c.pending, SIG_IGN);
        const sigset_t taken = wait_signals();
        pthread_sigmask(SIG_BLOCK, &taken, nullptr);
        watch_signals(taken);
        if (c.pending != 0)
            kill(getpid(), c.pending);
        if (c.deciding)
            deciding();
        std::thread busy([&] {
            const pid_t tid = gettid();
            if (write(returned[1], &tid, sizeof tid) != sizeof tid)
                _exit(1);
            make_way();
            _exit(write(returned[1], "r", 1) == 1 ? 0 : 1);
        });
        // As the wait does once its poll returns, for input or a signal.
        char go = 0;
        if (read(decide[0], &go, 1) == 1) {
            deciding();
            decided();
        }
        busy.join();
    }
    pid_t tid = 0;
    ASSERT_EQ(read(returned[0], &tid, sizeof tid), static_cast<ssize_t>(sizeof tid));
    const auto has_returned = [&] {
        pollfd back{returned[0], POLLIN, 0};
        return poll(&back, 1, 0) == 1;
    };
    if (c.waits) {
        EXPECT_TRUE(eventually([&] { return run_state(tid) == 'S'; }));
        EXPECT_FALSE(has_returned()) << "make_way returned before the wait decided";
    } else {
        EXPECT_TRUE(eventually(has_returned));
    }
    ASSERT_EQ(write(decide[1], "d", 1), 1);
    EXPECT_TRUE(eventually(has_returned));
    int status = -1;
    EXPECT_TRUE(eventually([&] { return waitpid(child, &status, WNOHANG) == child; }));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    kill(child, SIGKILL);
    for (const int fd : {decide[0], decide[1], returned[0], returned[1]})
        close(fd);
}

// Busy threads of this process, on one processor so each is switched out now
// and then: with restartable sequences they sleep while the wait decides and
// spin again once it has; after its last decision, as after the key, they
// leave the processor to a plain spinning thread. A process ends its load once.
TEST(busy_threads_of_the_process, make_way_while_the_wait_decides_and_stop_after_its_last_decision)
{
    bool interruptible = false;
#if (defined(__x86_64__) || defined(__aarch64__)) && __has_include(<sys/rseq.h>)
    interruptible = __rseq_size > 0;
#endif
    if (!interruptible)
        GTEST_SKIP() << "no restartable sequences here: busy threads spin until the process ends";
    ASSERT_TRUE(keep_to_one_processor());
    std::vector<pid_t> before;
    for (const auto& t : threads_of(getpid()))
        before.push_back(t.tid);
    create_threads(settings{0, 3});
    const auto busy = [&] {
        std::vector<thread_facts> found;
        for (const auto& t : threads_of(getpid()))
            if (std::find(before.begin(), before.end(), t.tid) == before.end())
                found.push_back(t);
        return found;
    };
    const auto all = [&](const std::function<bool(const thread_facts&)>& is) {
        const auto found = busy();
        return found.size() == 3 && std::all_of(found.begin(), found.end(), is);
    };
    ASSERT_TRUE(eventually([&] { return all([](const thread_facts& t) { return t.cpu_seconds > 0.01; }); }));
    // Known by number from now on, so that the plain thread below is not
    // taken for one of them.
    std::vector<pid_t> ids;
    for (const auto& t : busy())
        ids.push_back(t.tid);
    const auto busy_seconds = [&] {
        double sum = 0;
        for (const auto& t : threads_of(getpid()))
            sum += std::find(ids.begin(), ids.end(), t.tid) != ids.end() ? t.cpu_seconds : 0;
        return sum;
    };

    deciding();
    ASSERT_TRUE(eventually([&] { return all([](const thread_facts& t) { return t.state == 'S'; }); }))
        << "the busy threads do not make way for the wait";
    const double asleep = busy_seconds();
    decided();
    EXPECT_TRUE(eventually([&] { return busy_seconds() > asleep + 0.03; }));

    deciding();
    std::atomic<bool> spinning{true};
    std::thread plain([&] {
        while (spinning.load(std::memory_order_relaxed)) {
        }
    });
    EXPECT_TRUE(eventually([&] {
        const double at = busy_seconds();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return busy_seconds() - at < 0.005;
    })) << "the busy threads still compete for the processor";
    spinning = false;
    plain.join();
}

} // namespace
