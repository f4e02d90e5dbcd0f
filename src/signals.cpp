// SPDX-License-Identifier: MIT
#include "signals.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <unistd.h>

namespace {

// What a handler needs: the mode found and the mode applied, in two slots, so
// that a pair is written whole into the one no handler reads before `held`
// names it (-1: none held).
struct held_modes {
    termios found;
    termios applied;
};
held_modes modes[2];
volatile sig_atomic_t held = -1;
// Set by the wait's handler for SIGTSTP and SIGCONT.
volatile sig_atomic_t stop_asked = 0;
volatile sig_atomic_t continued = 0;

struct sigaction action_of(void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    return action;
}

sigset_t set_of(std::initializer_list<int> signals)
{
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : signals)
        sigaddset(&set, sig);
    return set;
}

// Whether the terminal may be used without being stopped: the process has its
// foreground, or it is not the controlling terminal.
bool in_foreground()
{
    const pid_t group = tcgetpgrp(STDIN_FILENO);
    return group == getpgrp() || (group < 0 && errno == ENOTTY);
}

// Only over the mode applied: a parent in the same group (watch, at Ctrl-C)
// or a lender's shell may have set a mode of its own, which must stay.
void put_back_found(int slot)
{
    termios now{};
    if (in_foreground() && tcgetattr(STDIN_FILENO, &now) == 0 && modes_equal(now, modes[slot].applied))
        tcsetattr(STDIN_FILENO, TCSANOW, &modes[slot].found);
}

void publish(const termios& found, const termios& applied)
{
    const int next = held == 0 ? 1 : 0;
    modes[next] = {found, applied};
    std::atomic_signal_fence(std::memory_order_seq_cst);
    held = next;
}

// Runs on the initial thread, and may interrupt it anywhere: async-signal-safe
// calls only.
void on_ending_signal(int sig)
{
    const int slot = held;
    if (slot >= 0)
        put_back_found(slot);
    const struct sigaction plain = action_of(SIG_DFL);
    sigaction(sig, &plain, nullptr);
    // SA_NODEFER left it unblocked: this ends the process, unless the kernel
    // drops it (PID 1 of a PID namespace).
    raise(sig);
    _exit(128 + sig);
}

void on_job_signal(int sig) { (sig == SIGTSTP ? stop_asked : continued) = 1; }

bool taken(volatile sig_atomic_t& flag)
{
    const bool was_set = flag != 0;
    flag = 0;
    return was_set;
}

// Only there to interrupt a refused change of the terminal.
void on_ttou(int /*unused*/) {}

sigset_t ending_signals()
{
    sigset_t set = set_of({SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGPIPE, SIGXCPU, SIGXFSZ,
                           SIGVTALRM, SIGPROF, SIGIO, SIGPWR, SIGSTKFLT});
    // SIGRTMIN is above the real-time signals the C library keeps for itself.
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        sigaddset(&set, sig);
    return set;
}

} // namespace

void catch_signals()
{
    const sigset_t ending = ending_signals();
    struct sigaction action = action_of(on_ending_signal);
    action.sa_flags = SA_NODEFER;
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

bool modes_equal(const termios& a, const termios& b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b);
}

bool hold_terminal(const termios& found, termios& single_key)
{
    publish(found, single_key);
    if (tcsetattr(STDIN_FILENO, TCSANOW, &single_key) != 0)
        return false;
    // A stop between the two calls lets the shell set its own mode first; a
    // mode read back that no longer reads input as asked is that one, not ours.
    termios now{};
    if (tcgetattr(STDIN_FILENO, &now) == 0 && ((now.c_lflag ^ single_key.c_lflag) & ICANON) == 0 &&
        now.c_cc[VMIN] == single_key.c_cc[VMIN] && now.c_cc[VTIME] == single_key.c_cc[VTIME]) {
        single_key = now;
        publish(found, single_key);
    }
    return true;
}

void release_terminal(bool put_back)
{
    const int slot = held;
    if (slot < 0)
        return;
    if (put_back)
        put_back_found(slot);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    held = -1;
}

bool terminal_held() { return held >= 0; }

job_signals catch_job_signals()
{
    job_signals saved{};
    const struct sigaction on_job = action_of(on_job_signal);
    const struct sigaction on_ttou_action = action_of(on_ttou);
    sigaction(SIGTSTP, nullptr, &saved.before_stop);
    if (saved.before_stop.sa_handler != SIG_IGN)
        sigaction(SIGTSTP, &on_job, nullptr);
    sigaction(SIGCONT, &on_job, &saved.before_continue);
    sigaction(SIGTTOU, nullptr, &saved.before_ttou);
    if (saved.before_ttou.sa_handler != SIG_IGN)
        sigaction(SIGTTOU, &on_ttou_action, nullptr);

    const sigset_t job = set_of({SIGTSTP, SIGCONT});
    pthread_sigmask(SIG_BLOCK, &job, &saved.before_mask);
    saved.in_wait = saved.before_mask;
    sigdelset(&saved.in_wait, SIGTSTP);
    sigdelset(&saved.in_wait, SIGCONT);
    return saved;
}

void release_job_signals(const job_signals& saved)
{
    sigaction(SIGTSTP, &saved.before_stop, nullptr);
    sigaction(SIGCONT, &saved.before_continue, nullptr);
    sigaction(SIGTTOU, &saved.before_ttou, nullptr);
    pthread_sigmask(SIG_SETMASK, &saved.before_mask, nullptr);
}

bool take_stop() { return taken(stop_asked); }

bool take_continue() { return taken(continued); }

void stop_now()
{
    const struct sigaction plain = action_of(SIG_DFL);
    const struct sigaction on_stop = action_of(on_job_signal);
    const sigset_t stop_only = set_of({SIGTSTP});
    sigaction(SIGTSTP, &plain, nullptr);
    raise(SIGTSTP);
    pthread_sigmask(SIG_UNBLOCK, &stop_only, nullptr);
    pthread_sigmask(SIG_BLOCK, &stop_only, nullptr);
    sigaction(SIGTSTP, &on_stop, nullptr);
}
