// SPDX-License-Identifier: MIT
#include "load.hpp"
#include "handover.hpp"
#include "signals.hpp"
#include "spin.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Below this a block is written by the initial thread alone, on the pages it
// gets: starting writers and asking for huge pages would cost more than they
// save.
constexpr std::uint64_t shared_fill_from = std::uint64_t{64} << 20;
// The size of a huge page on x86-64 and on arm64 with 4 KiB pages. A writer's
// part starts on such a boundary, so that no huge page is faulted in by two.
constexpr std::size_t huge_page = std::size_t{2} << 20;

struct part {
    unsigned char* begin;
    std::size_t size;
};

void* write_part(void* p)
{
    const auto* own = static_cast<const part*>(p);
    std::memset(own->begin, 0, own->size);
    return nullptr;
}

// Starts a thread born with the wait's signals blocked, so that every handler
// runs on the initial thread. The starting thread blocks them only for the
// start itself: a signal or Ctrl-Z that comes meanwhile acts as soon as the
// start returns. (Inheriting, rather than naming the mask in the attributes,
// also holds where a sanitizer's own thread start puts back the creator's
// mask.)
bool start_thread(pthread_t& thread, const pthread_attr_t* attr, void* (*routine)(void*), void* arg,
                  const sigset_t& blocked)
{
    sigset_t open;
    pthread_sigmask(SIG_BLOCK, &blocked, &open);
    const bool started = pthread_create(&thread, attr, routine, arg) == 0;
    pthread_sigmask(SIG_SETMASK, &open, nullptr);
    return started;
}

// The bytes from `at` to the next address that is a multiple of `to`, or
// `left` where that is fewer.
std::size_t to_boundary(const unsigned char* at, std::size_t to, std::size_t left)
{
    const auto address = reinterpret_cast<std::uintptr_t>(at);
    return std::min<std::size_t>((to - address % to) % to, left);
}

// Huge pages where the system leaves the choice to the program, and where it
// gives them anyway lets the kernel make them at the fault rather than fall
// back to small pages. One fault per 2 MiB instead of per 4 KiB is most of
// the gain; the other is every allowed processor writing a part of its own.
// The parts are cut on huge-page boundaries, and a part whose writer cannot
// be started is written by the initial thread after its own.
void write_shared(unsigned char* block, std::size_t bytes)
{
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t head = to_boundary(block, page, bytes);
    const std::size_t whole_pages = (bytes - head) / page * page;
    if (whole_pages > 0)
        madvise(block + head, whole_pages, MADV_HUGEPAGE);

    cpu_set_t allowed;
    const int processors = sched_getaffinity(0, sizeof allowed, &allowed) == 0 ? CPU_COUNT(&allowed) : 1;
    const std::size_t count = std::clamp<std::size_t>(static_cast<std::size_t>(processors), 1, CPU_SETSIZE);
    const sigset_t blocked = wait_signals();
    std::array<part, CPU_SETSIZE> parts{};
    std::array<pthread_t, CPU_SETSIZE> writers{};
    std::array<bool, CPU_SETSIZE> started{};
    std::size_t begin = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t end = bytes;
        if (i + 1 < count) {
            const std::size_t even = bytes / count * (i + 1);
            end = even + to_boundary(block + even, huge_page, bytes - even);
        }
        parts[i] = {block + begin, end - begin};
        begin = end;
    }
    for (std::size_t i = 1; i < count; ++i)
        started[i] = parts[i].size > 0 && start_thread(writers[i], nullptr, write_part, &parts[i], blocked);
    for (std::size_t i = 0; i < count; ++i)
        if (!started[i])
            std::memset(parts[i].begin, 0, parts[i].size);
    for (std::size_t i = 1; i < count; ++i)
        if (started[i])
            pthread_join(writers[i], nullptr);
}

} // namespace

void* get_ram(settings s)
{
    const auto bytes = static_cast<std::uint64_t>(s.ram_bytes);
    const auto mb = static_cast<std::int32_t>(static_cast<std::uint32_t>(bytes >> 20));

    // Where size_t is narrower than the count (on 32-bit systems), malloc and
    // memset would take only its low bits and fill less than is reported: a
    // block that cannot be addressed cannot be had. On 64-bit systems every
    // count fits and the test compiles to nothing.
    const bool addressable = static_cast<std::size_t>(bytes) == bytes;
    void* block = addressable ? std::malloc(static_cast<std::size_t>(bytes)) : nullptr;
    if (block == nullptr && bytes != 0) {
        std::printf("Couldn't get %d MB of memory!\n", mb);
        std::exit(1);
    }
    // Both g++ and clang++ turn malloc followed by a zero memset into calloc,
    // which hands back fresh pages without touching them, so the block would
    // be reserved but never resident. The empty asm claims to read and write
    // the block, so the fill has to happen and has to write every page.
    asm volatile("" : : "r"(block) : "memory");
    if (bytes < shared_fill_from)
        std::memset(block, 0, bytes);
    else
        write_shared(static_cast<unsigned char*>(block), static_cast<std::size_t>(bytes));

    std::printf("Using %d MB of RAM\n", mb);
    return block;
}

namespace {

// Asks for a time slice of `ns` nanoseconds for the calling thread, keeping
// its policy and nice value (0 asks for the kernel's default). Under a fair
// policy a run time is the thread's slice on kernel 6.12 and later; older
// kernels ignore it, and a real-time policy refuses it. The argument is the
// kernel's own layout, which the C library declares only from glibc 2.41.
// Returns whether the kernel took it.
bool ask_slice(std::uint64_t ns)
{
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, 0);
    if (errno != 0)
        return false;
    constexpr std::uint64_t keep_policy = 0x08;
    struct {
        std::uint32_t size;
        std::uint32_t policy;
        std::uint64_t flags;
        std::int32_t nice;
        std::uint32_t priority;
        std::uint64_t runtime;
        std::uint64_t deadline;
        std::uint64_t period;
    } request{sizeof request, 0, keep_policy, nice, 0, ns, 0, 0};
    return syscall(SYS_sched_setattr, 0, &request, 0) == 0;
}

[[noreturn]] void thread_failure(std::int32_t cores)
{
    std::printf("Error running threads to use %d CPU cores\n", cores);
    std::exit(1);
}

// The processors a thread is given back once all run. A mask the process was
// started with that is all its cpuset allows was not narrowed by taskset, and
// is given back as every processor, which the kernel cuts to the cpuset: a
// thread given a mask keeps it (from kernel 6.2) and would be held to it when
// the cpuset is widened later, where a plain thread would follow the cpuset.
// A narrower one is the mask a plain thread would inherit, and is given back
// as it was. Telling the two apart means asking for every processor once.
cpu_set_t affinity_to_give_back(const cpu_set_t& allowed)
{
    cpu_set_t every;
    std::memset(&every, 0xff, sizeof every);
    if (pthread_setaffinity_np(pthread_self(), sizeof every, &every) != 0)
        return allowed;
    cpu_set_t widest;
    const bool whole_cpuset =
        pthread_getaffinity_np(pthread_self(), sizeof widest, &widest) == 0 && CPU_EQUAL(&widest, &allowed);
    if (!whole_cpuset)
        pthread_setaffinity_np(pthread_self(), sizeof allowed, &allowed);
    return whole_cpuset ? every : allowed;
}

// Waking all the busy threads at once would let each stop the thread waking
// them, which would then wait for a round of those already woken before it
// went on, and the start would take time growing with the square of the
// count. Instead the starting thread keeps one of its processors to itself,
// and `apart` keeps new threads off it until all have started and been
// woken. Returns false, having changed nothing, when there is only one
// processor to use or the kernel refuses.
bool keep_apart(const cpu_set_t& allowed, pthread_attr_t& apart)
{
    if (CPU_COUNT(&allowed) < 2)
        return false;
    int own = sched_getcpu();
    if (own < 0 || !CPU_ISSET(own, &allowed)) {
        own = 0;
        while (!CPU_ISSET(own, &allowed))
            ++own;
    }
    cpu_set_t just_own;
    CPU_ZERO(&just_own);
    CPU_SET(own, &just_own);
    cpu_set_t others = allowed;
    CPU_CLR(own, &others);

    if (pthread_attr_init(&apart) != 0)
        return false;
    if (pthread_attr_setaffinity_np(&apart, sizeof others, &others) == 0 &&
        pthread_setaffinity_np(pthread_self(), sizeof just_own, &just_own) == 0)
        return true;
    pthread_attr_destroy(&apart);
    return false;
}

} // namespace

pthread_t* create_threads(settings s)
{
    if (s.cores <= 0)
        return nullptr;
    // A table too big for size_t would have its size wrapped (on 32-bit
    // systems only) and be written past its end.
    if (static_cast<std::size_t>(s.cores) > SIZE_MAX / sizeof(pthread_t))
        thread_failure(s.cores);

    auto* threads = static_cast<pthread_t*>(std::malloc(sizeof(pthread_t) * static_cast<std::size_t>(s.cores)));
    if (threads == nullptr)
        thread_failure(s.cores);

    const sigset_t blocked = wait_signals();
    cpu_set_t allowed;
    pthread_attr_t apart;
    const bool known = pthread_getaffinity_np(pthread_self(), sizeof allowed, &allowed) == 0;
    const cpu_set_t back = known && CPU_COUNT(&allowed) >= 2 ? affinity_to_give_back(allowed) : allowed;
    const bool kept_apart = known && keep_apart(allowed, apart);

    // New threads take the starting thread's slice. The fair scheduler gives
    // each a deadline half a slice on when it starts; with the default slice,
    // shorter than a tick, the deadlines of the busy threads that have not run
    // yet soon lie before that of a woken waiting thread, which then waits
    // for each of them: for seconds, at thousands of threads a processor.
    // Two ticks (at 250 Hz) keep it ahead of them until their first round is
    // nearly over. Their share of the processors stays the same.
    const bool long_slices = ask_slice(8'000'000);
    for (std::int32_t i = 0; i < s.cores; ++i) {
        // Should the processors allowed shrink meanwhile, a start kept apart
        // may be refused where a plain one is not; only a refused plain start
        // is a failure.
        if (!(kept_apart && start_thread(threads[i], &apart, run_forever, nullptr, blocked)) &&
            !start_thread(threads[i], nullptr, run_forever, nullptr, blocked))
            thread_failure(s.cores);
    }

    let_all_run();

    // Now every thread, the starting one too, gets back the processors the
    // process had, as default attributes would have given it.
    if (kept_apart) {
        for (std::int32_t i = 0; i < s.cores; ++i)
            pthread_setaffinity_np(threads[i], sizeof back, &back);
        pthread_setaffinity_np(pthread_self(), sizeof back, &back);
        pthread_attr_destroy(&apart);
    }
    if (long_slices)
        ask_slice(0);
    return threads;
}

void stop_threads(const pthread_t* threads, settings s)
{
    // The wait's decision is never closed (decided), so every busy thread
    // that makes way sleeps for good: whether a key opened it or not.
    if (spin_interruptible()) {
        deciding();
        return;
    }
    // An ordinary user may move a thread to the idle class but not back, so
    // this is for when the load is no longer wanted. One call per thread, each
    // made at a share of the processors that shrinks with the count.
    const sched_param lowest{};
    for (std::int32_t i = 0; i < s.cores; ++i)
        pthread_setschedparam(threads[i], SCHED_IDLE, &lowest);
}

void* run_forever(void* /*unused*/)
{
    wait_until_all_started();
    if (!spin_interruptible())
        spin_forever();
    // A thread that first runs while the wait is deciding makes way at once,
    // instead of spinning a whole slice before its first preemption: with
    // thousands of threads a processor, many have not run yet when the key
    // comes.
    for (;;) {
        make_way();
        spin_until_interrupted();
    }
}
