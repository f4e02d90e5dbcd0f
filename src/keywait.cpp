// SPDX-License-Identifier: MIT
#include "keywait.hpp"
#include "handover.hpp"
#include "lender.hpp"
#include "load.hpp"
#include "signals.hpp"
#include "spin.hpp"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A key from a terminal that is the process's (its own, or lent), one byte of
// anything else, a look now and then at someone else's terminal, signals
// alone where no input can come, or the end, as the lender has ended.
enum class wait_mode : std::uint8_t { key, key_lent, byte, background, none, lender_ended };

// The mode found, the mode last applied as read back, and the last lender.
struct seen {
    termios found;
    termios applied;
    long lender;
};

// Decides how to wait now, taking the terminal if it is the process's. One no
// longer its own is let go of untouched, but for a lent one, whose lender
// puts nothing back. After a continue, canonical input back on means a shell
// set the mode to put back from now on, unless it is the very mode applied
// (busybox ash puts back the mode it saw for each command, fg included).
wait_mode choose_wait(seen& was, bool after_continue)
{
    termios now{};
    if (tcgetattr(STDIN_FILENO, &now) != 0) {
        if (errno != EIO)
            return wait_mode::byte;
        release_terminal(false);
        return wait_mode::none;
    }
    const pid_t group = tcgetpgrp(STDIN_FILENO);
    const bool lent = group < 0 && errno == ENOTTY;
    if (group < 0 && errno == EIO) {
        release_terminal(false);
        return wait_mode::none;
    }
    const long lender = lent ? terminal_lender() : 0;
    if (lent ? lender == 0 : group != getpgrp()) {
        release_terminal(lent);
        return was.lender != 0 && lender_ended(was.lender) ? wait_mode::lender_ended : wait_mode::background;
    }
    was.lender = lender != 0 ? lender : was.lender;
    const wait_mode waiting = lent ? wait_mode::key_lent : wait_mode::key;
    if (terminal_held() && !after_continue)
        return waiting;
    if (!terminal_held() || (now.c_lflag & ICANON) != 0) {
        release_terminal(false);
        if (!modes_equal(now, was.applied))
            was.found = now;
    }
    // Outside the process's PID namespace the foreground group reads as 0:
    // the refusal (SIGTTOU) is then the only sign of the background.
    was.applied = was.found;
    was.applied.c_lflag &= ~static_cast<tcflag_t>(ICANON);
    was.applied.c_cc[VMIN] = 1;
    was.applied.c_cc[VTIME] = 0;
    if (!hold_terminal(was.found, was.applied)) {
        release_terminal(false);
        return wait_mode::background;
    }
    return waiting;
}

// Where busy threads cannot make way, the shortest slice has the fair
// scheduler serve the woken thread first. -1 is a nice value, hence errno.
void favour_waiting_thread()
{
    errno = 0;
    if (sched_getscheduler(0) != SCHED_OTHER || getpriority(PRIO_PROCESS, 0) != 0 || errno != 0)
        return;
    const sched_param lowest_real_time{1};
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &lowest_real_time) != 0 && !spin_interruptible())
        ask_slice(100'000);
}

} // namespace

int get_keypress()
{
    favour_waiting_thread();
    const job_signals saved = catch_job_signals();
    sigset_t taken = wait_signals();
    for (int sig = 1; sig < NSIG; ++sig)
        if (sigismember(&saved.in_wait, sig) == 1)
            sigdelset(&taken, sig);
    watch_signals(taken);
    seen was{};
    wait_mode waiting = choose_wait(was, false);
    int status = 0;
    for (;;) {
        if (waiting == wait_mode::lender_ended) {
            deciding();
            status = 129;
            break;
        }
        arm_input(waiting == wait_mode::key || waiting == wait_mode::key_lent || waiting == wait_mode::byte);
        decided();
        // A shell's fg hands the terminal to a running job with no signal, and
        // a lender may stop waiting: those waits look again ten times a second.
        const timespec tenth{0, 100'000'000};
        const bool terminal = waiting == wait_mode::key || waiting == wait_mode::key_lent;
        const bool watched = waiting == wait_mode::key_lent || waiting == wait_mode::background;
        pollfd in{STDIN_FILENO, POLLIN, 0};
        const int ready =
            ppoll(&in, terminal || waiting == wait_mode::byte ? 1 : 0, watched ? &tenth : nullptr, &saved.in_wait);
        // A key ends the wait with this decision still open: the load's end.
        if (ready != 0)
            deciding();
        bool after_continue = take_continue();
        bool look_again = after_continue || (ready == 0 && watched);
        const bool hung_up = terminal && (in.revents & (POLLHUP | POLLERR)) != 0;
        // Input typed once the lender has stopped is the shell's, so a lent
        // terminal is looked at again just before the read, and the count
        // waiting is asked (the shell may have read it; its descriptor cannot
        // be made non-blocking).
        const wait_mode polled = waiting;
        int unread = 1;
        if (ready > 0 && waiting == wait_mode::key_lent && !hung_up) {
            waiting = choose_wait(was, false);
            if (waiting == wait_mode::key_lent && ioctl(STDIN_FILENO, FIONREAD, &unread) != 0)
                unread = 1;
        }
        if (ready > 0 && waiting == polled && unread > 0) {
            // One read in single-key mode is one key, however many bytes; other
            // input gives one byte. On a terminal nothing read is a hangup.
            char key[64];
            const ssize_t got = hung_up ? 0 : read(STDIN_FILENO, key, terminal ? sizeof key : 1);
            if (got > 0 || (got == 0 && !terminal))
                break;
            if (got < 0 && terminal && errno == EIO) {
                look_again = true;
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                // No key can ever come: hold until a signal.
                release_terminal(got != 0);
                waiting = wait_mode::none;
            }
        }
        if (take_stop()) {
            release_terminal(true);
            stop_now();
            after_continue = look_again = true;
        }
        if (look_again && waiting != wait_mode::none && waiting != wait_mode::lender_ended)
            waiting = choose_wait(was, after_continue);
    }
    release_terminal(true);
    release_job_signals(saved);
    return status;
}
