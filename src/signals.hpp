// SPDX-License-Identifier: MIT
#pragma once

#include <csignal>
#include <termios.h>

// The program's signal handling, and the terminal mode its handlers put back.

// Gives every signal whose default action ends the process a handler, except
// the faults, which must still show as crashes, and those ignored at start.
// The handler puts back the mode held (hold_terminal) where the terminal is
// still the process's and still has the mode applied, then ends the process
// by the same signal, or with status 128 + N where the kernel drops it (PID 1
// of a PID namespace).
void catch_signals();

// The caught signals with SIGTSTP and SIGCONT: every thread but the initial
// one starts with these blocked, so their handlers run on the initial thread.
sigset_t wait_signals();

// Whether the terminal on standard input may be used without being stopped:
// the process group has its foreground, or it is not the controlling one.
bool in_foreground();

// Whether two modes agree in every field a terminal keeps; async-signal-safe.
bool modes_equal(const termios& a, const termios& b);

// Applies `single_key` to standard input and reads it back into `single_key`
// (a driver may adjust it); false if refused. Until release_terminal, a caught
// signal puts `found` back.
bool hold_terminal(const termios& found, termios& single_key);

// Ends the hold; with `put_back`, applies the mode found again, where the
// terminal is still the process's and still has the mode applied.
void release_terminal(bool put_back);

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

// For the wait: SIGTSTP (unless ignored at start) and SIGCONT only set flags
// for take_stop and take_continue, and are blocked outside `in_wait`, so they
// are acted on between the steps of the wait. SIGTTOU (unless ignored) gets a
// handler that does nothing and may run on any thread, so that a refused
// change of the terminal fails with EINTR instead of stopping the process
// (or, for PID 1 of a PID namespace, being retried for ever).
job_signals catch_job_signals();

void release_job_signals(const job_signals& saved);

// Whether a stop, or a continue, has come since the last call.
bool take_stop();
bool take_continue();

// Stops the process by SIGTSTP, as the shell expects, and returns once it is
// continued, or at once where no shell can continue it.
void stop_now();
