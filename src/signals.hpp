// SPDX-License-Identifier: MIT
#pragma once

#include <csignal>
#include <termios.h>

// Gives every signal whose default action ends the process a handler, except
// the faults (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS), which
// must still show as crashes. A signal ignored at start stays ignored. The
// handler puts back the mode handed to hold_terminal, if it is still held and
// the process still has the terminal's foreground, and then ends the process
// by the same signal, or with status 128 + N where the kernel drops that
// signal (as it does for PID 1 of a PID namespace). Called first thing, so a
// stop during the fill or the thread start ends the run too.
void catch_signals();

// The caught signals with SIGTSTP and SIGCONT: the busy threads start with
// these blocked, so every handler runs on the initial thread.
sigset_t wait_signals();

// Whether the terminal on standard input may be used without being stopped:
// the process group is its foreground group, or it is not the controlling
// terminal, so there is no job control over it.
bool in_foreground();

// Applies `single_key` to standard input; until release_terminal, a caught
// signal puts `found` back before it ends the process.
void hold_terminal(const termios& found, const termios& single_key);

// Ends the hold. With `put_back`, the mode found is applied again, if the
// process still has the terminal's foreground.
void release_terminal(bool put_back);
