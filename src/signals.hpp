// SPDX-License-Identifier: MIT
#pragma once

#include <csignal>
#include <termios.h>

// The program's signal handling, and the terminal mode its handlers put back:
// the mode found and the mode applied live here, since a handler must reach
// them (hold_terminal, release_terminal).

// Gives every signal whose default action ends the process a handler, except
// the faults (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS), which
// must still show as crashes. A signal ignored at start stays ignored. The
// handler puts back the mode found handed to hold_terminal, if it is still
// held, the process still has the terminal's foreground and the terminal
// still has the mode applied, and then ends the process
// by the same signal, or with status 128 + N where the kernel drops that
// signal (as it does for PID 1 of a PID namespace). Called first thing, so a
// signal during the fill or the thread start ends the run too.
void catch_signals();

// The caught signals with SIGTSTP and SIGCONT: every thread but the initial
// one starts with these blocked, so their handlers run on the initial thread.
sigset_t wait_signals();

// Whether the terminal on standard input may be used without being stopped:
// the process group is its foreground group, or it is not the controlling
// terminal, so there is no job control over it.
bool in_foreground();

// Whether two modes agree in every field a terminal keeps; async-signal-safe,
// as the handler compares with it too.
bool modes_equal(const termios& a, const termios& b);

// Applies `single_key` to standard input, and says whether that worked, with
// `single_key` then as the terminal reads it back, since a driver may adjust
// what it is given; until release_terminal, a caught signal puts `found` back
// before it ends the process, while the terminal still has that mode.
bool hold_terminal(const termios& found, termios& single_key);

// Ends the hold. With `put_back`, the mode found is applied again, if the
// process still has the terminal's foreground and the terminal still has the
// mode applied.
void release_terminal(bool put_back);

// Whether a mode is held: hold_terminal was called and release_terminal not since.
bool terminal_held();

// How the signals of job control were before the wait, and the mask to wait
// in, which lets SIGTSTP and SIGCONT through.
struct job_signals {
    struct sigaction before_stop;
    struct sigaction before_continue;
    struct sigaction before_ttou;
    sigset_t before_mask;
    sigset_t in_wait;
};

// For the wait: SIGTSTP (unless ignored at start) and SIGCONT only set flags,
// which take_stop and take_continue read, and stay blocked on the calling
// thread except in `in_wait`, so a stop or continue is acted on between the
// steps of the wait and never in the middle of a change of the terminal.
// SIGTTOU (unless ignored) is caught too, by a handler that does nothing and
// may run on any thread, so that a refused change of the terminal fails with
// EINTR instead of stopping the process or, as PID 1 of a PID namespace,
// which never stops, being retried for ever.
job_signals catch_job_signals();

// Puts back the handlers and the mask catch_job_signals found.
void release_job_signals(const job_signals& saved);

// Whether a stop, or a continue, has come since the last call.
bool take_stop();
bool take_continue();

// Stops the process by SIGTSTP itself, so the shell sees the usual stop, and
// returns once it is continued. In a process group that no shell can
// continue, the kernel drops the signal and it returns at once.
void stop_now();
