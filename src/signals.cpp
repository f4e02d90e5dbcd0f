// SPDX-License-Identifier: MIT
#include "signals.hpp"

#include <atomic>
#include <cerrno>
#include <initializer_list>
#include <unistd.h>

namespace {

// A handler takes no arguments, so the mode it puts back lives here. Two
// slots, so that a new mode is written whole into the one no handler reads
// before `held` names it; -1 means no mode is held.
termios found_modes[2];
volatile sig_atomic_t held = -1;

// Runs on the initial thread only, and may interrupt it anywhere: it uses
// async-signal-safe calls only and never returns.
void on_ending_signal(int sig)
{
    const int slot = held;
    if (slot >= 0 && in_foreground())
        tcsetattr(STDIN_FILENO, TCSANOW, &found_modes[slot]);
    struct sigaction plain = {};
    plain.sa_handler = SIG_DFL;
    sigaction(sig, &plain, nullptr);
    // SA_NODEFER left the signal unblocked, so this ends the process at once,
    // unless the kernel drops it, as it does for PID 1 of a PID namespace.
    raise(sig);
    _exit(128 + sig);
}

sigset_t ending_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGPIPE, SIGXCPU, SIGXFSZ,
                          SIGVTALRM, SIGPROF, SIGIO, SIGPWR, SIGSTKFLT})
        sigaddset(&set, sig);
    // SIGRTMIN is above the real-time signals the C library keeps for itself.
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        sigaddset(&set, sig);
    return set;
}

} // namespace

void catch_signals()
{
    const sigset_t ending = ending_signals();
    struct sigaction action = {};
    action.sa_handler = on_ending_signal;
    action.sa_flags = SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction before = {};
        if (sigismember(&ending, sig) == 1 && sigaction(sig, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            sigaction(sig, &action, nullptr);
    }
}

sigset_t wait_signals()
{
    sigset_t set = ending_signals();
    sigaddset(&set, SIGTSTP);
    sigaddset(&set, SIGCONT);
    return set;
}

bool in_foreground()
{
    const pid_t group = tcgetpgrp(STDIN_FILENO);
    return group == getpgrp() || (group < 0 && errno == ENOTTY);
}

void hold_terminal(const termios& found, const termios& single_key)
{
    const int next = held == 0 ? 1 : 0;
    found_modes[next] = found;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    held = next;
    tcsetattr(STDIN_FILENO, TCSANOW, &single_key);
}

void release_terminal(bool put_back)
{
    const int slot = held;
    if (slot < 0)
        return;
    if (put_back && in_foreground())
        tcsetattr(STDIN_FILENO, TCSANOW, &found_modes[slot]);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    held = -1;
}
