// SPDX-License-Identifier: MIT
#include "handover.hpp"

#include <atomic>
#include <climits>
#include <cstdint>
#include <linux/futex.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Shared by the waiting thread and the busy threads, which read them only
// between two spins, never inside the loop. `decisions` counts the wait's
// decisions: a busy thread loads it before it looks, and sleeps only while it
// still holds that value, so a decision made meanwhile is never missed.
// `watched` is written once, before `watching` is set.
std::atomic<bool> stopping{false};
std::atomic<bool> is_deciding{false};
std::atomic<bool> input_armed{false};
std::atomic<bool> watching{false};
std::atomic<std::uint32_t> decisions{0};
sigset_t watched;

long futex(int op, std::uint32_t value) { return syscall(SYS_futex, &decisions, op, value, nullptr, nullptr, 0); }

// sigpending gives the signals pending and blocked in the calling thread, and
// a busy thread blocks all the wait takes. A signal the process was started
// with blocked is not taken by the wait either, and would stay pending for
// good, so only those the wait lets through count.
bool wanted_by_wait()
{
    if (!watching.load(std::memory_order_acquire))
        return false;
    // The input first: a terminal's poll may sleep while input is on its way
    // in, and that input (Ctrl-C, Ctrl-Z) may raise a signal looked for next.
    pollfd in{STDIN_FILENO, POLLIN, 0};
    if (input_armed.load(std::memory_order_acquire) && poll(&in, 1, 0) > 0)
        return true;
    sigset_t pending;
    if (sigpending(&pending) == 0)
        for (int sig = 1; sig < NSIG; ++sig)
            if (sigismember(&watched, sig) == 1 && sigismember(&pending, sig) == 1)
                return true;
    return false;
}

} // namespace

// An ignored signal let through the wait's poll is dropped there without
// waking it (SIGTSTP ignored at start, and blocked outside the poll, may be
// pending meanwhile), so no decision would come for it.
void watch_signals(const sigset_t& taken)
{
    sigemptyset(&watched);
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction now = {};
        if (sigismember(&taken, sig) == 1 && sigaction(sig, nullptr, &now) == 0 && now.sa_handler != SIG_IGN)
            sigaddset(&watched, sig);
    }
    watching.store(true, std::memory_order_release);
}

void arm_input(bool armed) { input_armed.store(armed, std::memory_order_release); }

void deciding() { is_deciding.store(true, std::memory_order_release); }

// Only the waiting thread writes `is_deciding`, so no exchange is needed, and
// a one-byte exchange is a library call on some architectures (riscv64).
void decided()
{
    if (!is_deciding.load(std::memory_order_acquire))
        return;
    is_deciding.store(false, std::memory_order_release);
    decisions.fetch_add(1, std::memory_order_acq_rel);
    futex(FUTEX_WAKE_PRIVATE, INT_MAX);
}

// Those making way are not woken: asleep, they are as good as parked, and
// waking them would only have them compete with the end of the process.
void stop_load() { stopping.store(true, std::memory_order_release); }

bool load_stopped() { return stopping.load(std::memory_order_acquire); }

// The look may sleep (see wanted_by_wait), and meanwhile the wait may have
// taken the input and be deciding, or have stopped the load. So both are
// looked at again after it; otherwise the thread would find no input left and
// spin a whole slice.
void make_way()
{
    const std::uint32_t seen = decisions.load(std::memory_order_acquire);
    if (load_stopped())
        return;
    const bool wanted = is_deciding.load(std::memory_order_acquire) || wanted_by_wait();
    if ((wanted || is_deciding.load(std::memory_order_acquire)) && !load_stopped())
        futex(FUTEX_WAIT_PRIVATE, seen);
}
