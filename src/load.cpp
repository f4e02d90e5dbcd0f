// SPDX-License-Identifier: MIT
#include "load.hpp"
#include "handover.hpp"
#include "signals.hpp"
#include "spin.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Below this, writers and huge pages cost more than they save.
constexpr std::uint64_t shared_fill_from = std::uint64_t{64} << 20;
// On x86-64 and arm64. The parts start on one, so no huge page has two writers.
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

// The new thread inherits the mask, blocked for the start alone (one named
// in the attributes is lost where a sanitizer's thread start sets its own).
bool start_thread(pthread_t& thread, const pthread_attr_t* attr, void* (*routine)(void*), void* arg,
                  const sigset_t& blocked)
{
    sigset_t open;
    pthread_sigmask(SIG_BLOCK, &blocked, &open);
    const bool started = pthread_create(&thread, attr, routine, arg) == 0;
    pthread_sigmask(SIG_SETMASK, &open, nullptr);
    return started;
}

// The bytes from `at` to the next multiple of `to`, at most `left`.
std::size_t to_boundary(const unsigned char* at, std::size_t to, std::size_t left)
{
    const auto address = reinterpret_cast<std::uintptr_t>(at);
    return std::min<std::size_t>((to - address % to) % to, left);
}

// Huge pages (asked for, as the system may leave the choice to the program)
// mean one fault per 2 MiB instead of per 4 KiB, most of the gain; the rest
// is every allowed processor writing a part. The initial thread writes the
// parts whose writer cannot be started.
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

    // On 32-bit systems malloc would take only a count's low bits.
    const bool addressable = static_cast<std::size_t>(bytes) == bytes;
    void* block = addressable ? std::malloc(static_cast<std::size_t>(bytes)) : nullptr;
    if (block == nullptr && bytes != 0) {
        std::printf("Couldn't get %d MB of memory!\n", mb);
        std::exit(1);
    }
    // g++ and clang++ turn malloc and a zero memset into calloc, which leaves
    // fresh pages untouched: reserved, never resident. The empty asm claims
    // to use the block, so every page has to be written.
    asm volatile("" : : "r"(block) : "memory");
    if (bytes < shared_fill_from)
        std::memset(block, 0, bytes);
    else
        write_shared(static_cast<unsigned char*>(block), static_cast<std::size_t>(bytes));

    std::printf("Using %d MB of RAM\n", mb);
    return block;
}

namespace {

[[noreturn]] void thread_failure(std::int32_t cores)
{
    std::printf("Error running threads to use %d CPU cores\n", cores);
    std::exit(1);
}

// The processors given back once all run. A mask that is all the cpuset
// allows is given back as every processor, which the kernel cuts to the
// cpuset, so that, like plain threads, they follow a cpuset widened later
// (from 6.2 a thread keeps a mask it was given); a narrower one, as it was.
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

// Each busy thread woken on the starting thread's processor would make it
// wait a round of those already woken: a start growing with the square of
// the count. So it keeps a processor to itself, and `apart` keeps new threads
// off it until all run. False, with nothing changed, where it cannot.
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
    // On 32-bit systems the table's size could wrap.
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

    // Where busy threads cannot make way, new threads take the starting
    // thread's slice of two ticks (at 250 Hz): the fair scheduler gives each a
    // deadline half a slice on when it starts, and with the default slice,
    // shorter than a tick, those of the threads not run yet soon lie before
    // that of a woken waiting thread, which then waits for each of them. Their
    // share of the processors stays the same.
    const bool long_slices = !spin_interruptible() && ask_slice(8'000'000);
    for (std::int32_t i = 0; i < s.cores; ++i) {
        // The processors allowed may shrink meanwhile.
        if (!(kept_apart && start_thread(threads[i], &apart, run_forever, nullptr, blocked)) &&
            !start_thread(threads[i], nullptr, run_forever, nullptr, blocked))
            thread_failure(s.cores);
    }

    let_all_run();

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

// The argument is the kernel's own layout, which the C library declares only
// from glibc 2.41.
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

void* run_forever(void* /*unused*/)
{
    wait_until_all_started();
    if (!spin_interruptible())
        spin_forever();
    // Making way before the first spin: many have not run yet at the key.
    for (;;) {
        make_way();
        spin_until_interrupted();
    }
}
