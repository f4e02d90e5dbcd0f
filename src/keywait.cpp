// SPDX-License-Identifier: MIT
#include "keywait.hpp"
#include "signals.hpp"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Set by the handlers for SIGTSTP and SIGCONT. Both signals are blocked on
// this thread except inside ppoll, so a stop or continue is acted on here, in
// order, and never in the middle of changing the terminal.
volatile sig_atomic_t stop_asked = 0;
volatile sig_atomic_t continued = 0;

void on_job_signal(int sig) { (sig == SIGTSTP ? stop_asked : continued) = 1; }

bool same_mode(const termios& a, const termios& b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b);
}

enum class input : std::uint8_t { key, byte, background, none };

struct terminal_modes {
    termios found{};
    termios single_key{};
    bool saved = false;
};

// Decides how to wait now, taking the terminal if it is ours to take. A mode
// equal to the single-key one means nobody reset the terminal while the
// process was stopped, so the mode saved before is still the one to restore.
input look(terminal_modes& modes)
{
    termios now{};
    if (tcgetattr(STDIN_FILENO, &now) != 0)
        return input::byte;
    if (!in_foreground()) {
        release_terminal(false);
        return input::background;
    }
    if (!modes.saved || !same_mode(now, modes.single_key)) {
        release_terminal(false);
        modes.found = now;
        modes.single_key = now;
        modes.single_key.c_lflag &= ~static_cast<tcflag_t>(ICANON);
        modes.single_key.c_cc[VMIN] = 1;
        modes.single_key.c_cc[VTIME] = 0;
        modes.saved = true;
    }
    hold_terminal(modes.found, modes.single_key);
    return input::key;
}

// Stops by SIGTSTP itself, so the shell sees the usual stop. In a process
// group that no shell can continue, the kernel drops the signal instead.
void stop_now(const struct sigaction& on_stop, const sigset_t& stop_only)
{
    struct sigaction plain = {};
    plain.sa_handler = SIG_DFL;
    sigaction(SIGTSTP, &plain, nullptr);
    raise(SIGTSTP);
    pthread_sigmask(SIG_UNBLOCK, &stop_only, nullptr);
    pthread_sigmask(SIG_BLOCK, &stop_only, nullptr);
    sigaction(SIGTSTP, &on_stop, nullptr);
}

} // namespace

void get_keypress()
{
    struct sigaction on_job = {};
    on_job.sa_handler = on_job_signal;
    sigemptyset(&on_job.sa_mask);
    struct sigaction before_stop = {};
    struct sigaction before_continue = {};
    sigaction(SIGTSTP, nullptr, &before_stop);
    if (before_stop.sa_handler != SIG_IGN)
        sigaction(SIGTSTP, &on_job, nullptr);
    sigaction(SIGCONT, &on_job, &before_continue);

    sigset_t job;
    sigemptyset(&job);
    sigaddset(&job, SIGTSTP);
    sigaddset(&job, SIGCONT);
    sigset_t stop_only;
    sigemptyset(&stop_only);
    sigaddset(&stop_only, SIGTSTP);
    sigset_t before_mask;
    pthread_sigmask(SIG_BLOCK, &job, &before_mask);
    sigset_t in_poll = before_mask;
    sigdelset(&in_poll, SIGTSTP);
    sigdelset(&in_poll, SIGCONT);

    terminal_modes modes;
    input how = look(modes);
    for (;;) {
        // A shell's fg continues a stopped job but only hands the terminal
        // to a running one, with no signal, so the background wait looks
        // again now and then; ten looks a second cost nothing measurable.
        const timespec tenth{0, 100'000'000};
        const bool reading = how == input::key || how == input::byte;
        pollfd in{STDIN_FILENO, POLLIN, 0};
        const int ready = ppoll(&in, reading ? 1 : 0, how == input::background ? &tenth : nullptr, &in_poll);
        if (ready > 0) {
            // One read in single-key mode is one key, however many bytes it
            // has; anything else gives one byte, and what follows is left
            // for whoever reads next.
            char key[64];
            if (read(STDIN_FILENO, key, how == input::key ? sizeof key : 1) >= 0)
                break;
            if (errno != EINTR && errno != EAGAIN) {
                // No key can ever come: hold the load until a signal.
                release_terminal(true);
                how = input::none;
            }
        }
        if (stop_asked != 0) {
            stop_asked = 0;
            release_terminal(true);
            stop_now(on_job, stop_only);
            continued = 1;
        }
        if (continued != 0 || (ready == 0 && how == input::background)) {
            continued = 0;
            if (how != input::none)
                how = look(modes);
        }
    }
    release_terminal(true);

    sigaction(SIGTSTP, &before_stop, nullptr);
    sigaction(SIGCONT, &before_continue, nullptr);
    pthread_sigmask(SIG_SETMASK, &before_mask, nullptr);
}
