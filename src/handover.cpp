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

// Each field has one writer; the busy threads read them between two spins.
// - all_started: set once by the starting thread; a new busy thread sleeps on
//   it, so the start never waits on one (for a processor, or a lock it holds).
// - watched, then watching: the wait writes the set once, then the flag.
// - input_armed, is_deciding: the wait.
// - decisions: counted by the wait. A busy thread loads it before it looks
//   and sleeps only while it holds that value, so no decision is missed.
struct shared_state {
    std::atomic<std::uint32_t> all_started{0};
    sigset_t watched;
    std::atomic<bool> watching{false};
    std::atomic<bool> input_armed{false};
    std::atomic<bool> is_deciding{false};
    std::atomic<std::uint32_t> decisions{0};
};
shared_state shared;

long futex(std::atomic<std::uint32_t>& word, int op, std::uint32_t value)
{
    return syscall(SYS_futex, &word, op, value, nullptr, nullptr, 0);
}

bool wait_deciding() { return shared.is_deciding.load(std::memory_order_acquire); }

// A busy thread blocks all the wait takes, so sigpending shows them. Only
// those the wait lets through count: another would stay pending for good.
bool wanted_by_wait()
{
    if (!shared.watching.load(std::memory_order_acquire))
        return false;
    // The input first: a terminal's poll may sleep while input is on its way
    // in, and it may raise a signal (Ctrl-C, Ctrl-Z).
    pollfd in{STDIN_FILENO, POLLIN, 0};
    if (shared.input_armed.load(std::memory_order_acquire) && poll(&in, 1, 0) > 0)
        return true;
    sigset_t pending;
    sigset_t both;
    return sigpending(&pending) == 0 && sigandset(&both, &pending, &shared.watched) == 0 && sigisemptyset(&both) == 0;
}

} // namespace

void let_all_run()
{
    shared.all_started.store(1, std::memory_order_release);
    futex(shared.all_started, FUTEX_WAKE_PRIVATE, INT_MAX);
}

void wait_until_all_started()
{
    while (shared.all_started.load(std::memory_order_acquire) == 0)
        futex(shared.all_started, FUTEX_WAIT_PRIVATE, 0);
}

// The wait's poll drops an ignored signal without waking, so no decision
// would come for it (SIGTSTP ignored at start may be pending meanwhile).
void watch_signals(const sigset_t& taken)
{
    sigemptyset(&shared.watched);
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction now = {};
        if (sigismember(&taken, sig) == 1 && sigaction(sig, nullptr, &now) == 0 && now.sa_handler != SIG_IGN)
            sigaddset(&shared.watched, sig);
    }
    shared.watching.store(true, std::memory_order_release);
}

void arm_input(bool armed) { shared.input_armed.store(armed, std::memory_order_release); }

void deciding() { shared.is_deciding.store(true, std::memory_order_release); }

// One writer, so no exchange (a library call on riscv64).
void decided()
{
    if (!wait_deciding())
        return;
    shared.is_deciding.store(false, std::memory_order_release);
    shared.decisions.fetch_add(1, std::memory_order_acq_rel);
    futex(shared.decisions, FUTEX_WAKE_PRIVATE, INT_MAX);
}

// The look may sleep in the terminal's poll while the wait takes the input
// and decides: it is asked again after the look, or the thread would find no
// input left and spin a whole slice.
void make_way()
{
    const std::uint32_t seen = shared.decisions.load(std::memory_order_acquire);
    if (wait_deciding() || wanted_by_wait() || wait_deciding())
        futex(shared.decisions, FUTEX_WAIT_PRIVATE, seen);
}
