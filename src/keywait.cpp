#include "keywait.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iterator>
#include <termios.h>
#include <unistd.h>

namespace {

// Signal handlers take no arguments, so the two terminal modes they switch
// between are kept here for the length of the wait. They are written before
// any handler is installed and only read afterwards.
termios found_mode;
termios wait_mode;

void on_signal(int sig);

// SA_NODEFER leaves the signal unblocked inside the handler, so that raising
// it there takes effect at once. SA_RESTART lets the read of the key carry on
// after a stop and continue.
void set_handler(int sig, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
}

// Runs inside a signal handler, so it uses async-signal-safe calls only.
// It puts the terminal back and lets the signal's default action happen, so
// the shell sees the process end (or stop) by that very signal.
void on_signal(int sig)
{
    const int saved_errno = errno;
    tcsetattr(STDIN_FILENO, TCSANOW, &found_mode);
    set_handler(sig, SIG_DFL);
    raise(sig);
    // Only a stop comes back here: continued, or never stopped because the
    // process group has no shell to continue it. The shell keeps no copy of
    // the single-key mode, so put it back and be ready for the next Ctrl-Z.
    set_handler(sig, on_signal);
    tcsetattr(STDIN_FILENO, TCSANOW, &wait_mode);
    errno = saved_errno;
}

constexpr int caught[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGTSTP};

} // namespace

void get_keypress()
{
    if (tcgetattr(STDIN_FILENO, &found_mode) != 0) {
        std::getchar();
        return;
    }
    wait_mode = found_mode;
    wait_mode.c_lflag &= ~static_cast<tcflag_t>(ICANON);
    wait_mode.c_cc[VMIN] = 1;
    wait_mode.c_cc[VTIME] = 0;

    // A signal the process was started with ignored (nohup, a background job)
    // stays ignored; only the default actions are wrapped.
    struct sigaction before[std::size(caught)];
    for (std::size_t i = 0; i < std::size(caught); ++i) {
        sigaction(caught[i], nullptr, &before[i]);
        if (before[i].sa_handler != SIG_IGN)
            set_handler(caught[i], on_signal);
    }

    tcsetattr(STDIN_FILENO, TCSANOW, &wait_mode);
    std::getchar();
    tcsetattr(STDIN_FILENO, TCSANOW, &found_mode);

    for (std::size_t i = 0; i < std::size(caught); ++i)
        sigaction(caught[i], &before[i], nullptr);
}
