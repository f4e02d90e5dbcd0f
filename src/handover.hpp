// SPDX-License-Identifier: MIT
#pragma once

#include <csignal>

// What the busy threads and the threads that drive them share: the start,
// and, where a busy thread learns of its preemptions (spin_interruptible),
// making way for the waiting thread, so that it need not be chosen among
// thousands of busy ones when a key or a signal comes.

// For the starting thread, once every busy thread has been started: lets
// them run.
void let_all_run();

// For a busy thread, first thing: sleeps until let_all_run.
void wait_until_all_started();

// For the wait, before it first waits: the signals it lets through while it
// waits, of which those not ignored now are worth making way for.
void watch_signals(const sigset_t& taken);

// For the wait: whether a key or a byte on standard input is for it now,
// so that input there is worth making way for.
void arm_input(bool armed);

// For the wait: it has woken, with input or a signal, and busy threads make
// way until decided(). A decision never followed by decided() is the end of
// the load: every busy thread sleeps for good at its next preemption.
void deciding();

// For the wait: it goes on waiting; the busy threads go back to their load.
void decided();

// For a busy thread, between two spins: returns at once unless the wait is
// deciding, or has a key, a byte or a signal it takes waiting, and otherwise
// once it has decided.
void make_way();
