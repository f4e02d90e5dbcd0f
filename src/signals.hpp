// SPDX-License-Identifier: MIT
#pragma once

#include <csignal>
#include <termios.h>

// The program's signal handling, and the terminal mode its handlers put back.

// Gives every signal whose default action ends the process, but the faults
// and those ignored at start, a handler that puts back the mode held (see
// hold_terminal), then ends the process by the same signal, or with status
// 128 + N where the kernel drops it (PID 1 of a PID namespace).
void catch_signals();

// The caught signals with SIGTSTP and SIGCONT: every thread but the initial
// one starts with these blocked, so their handlers run on the initial thread.
sigset_t wait_signals();

// Whether two modes agree in every field a terminal keeps; async-signal-safe.
bool modes_equal(const termios& a, const termios& b);

// Applies `single_key` to standard input and reads it back while it still
// reads input as asked (a driver may adjust the rest); false if refused. Until
// release_terminal, a caught signal puts `found` back while the terminal is
// the process's and has the mode applied.
bool hold_terminal(const termios& found, termios& single_key);

// Ends the hold; with `put_back`, puts the mode found back as a signal would.
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

// For the wait: SIGTSTP (unless ignored) and SIGCONT only set flags, and are
// blocked outside `in_wait`, so they are acted on between its steps. SIGTTOU
// (unless ignored) gets a handler that does nothing, on any thread, so that a
// refused change of the terminal fails with EINTR instead of stopping the
// process (or, as PID 1 of a PID namespace, being retried for ever).
job_signals catch_job_signals();

void release_job_signals(const job_signals& saved);

// Whether a stop, or a continue, has come since the last call.
bool take_stop();
bool take_continue();

// Stops the process by SIGTSTP and returns once it is continued (at once
// where no shell can continue it).
void stop_now();
