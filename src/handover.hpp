// SPDX-License-Identifier: MIT
#pragma once

#include <csignal>

// What the busy threads share with the threads that drive them: the start,
// and making way for the waiting thread where they learn of their preemptions
// (spin_interruptible), so that it need not be chosen among thousands.

// Lets the busy threads run, once every one has been started.
void let_all_run();

// For a busy thread, first thing: sleeps until let_all_run.
void wait_until_all_started();

// For the wait: the signals it takes, worth making way for unless ignored.
void watch_signals(const sigset_t& taken);

// For the wait: whether input on standard input is for it now.
void arm_input(bool armed);

// For the wait: it decides, and the busy threads make way until decided().
// A decision never followed by decided() ends the load: every busy thread
// sleeps for good at its next preemption.
void deciding();
void decided();

// For a busy thread, between two spins: unless the wait is deciding or has
// input or a signal waiting, returns at once; otherwise once it has decided.
void make_way();
