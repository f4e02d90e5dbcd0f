// SPDX-License-Identifier: MIT
#pragma once

#include <csignal>

// How the busy threads make way for the waiting thread. Where the busy threads
// learn of each preemption (see stop_threads), each looks, between two spins,
// whether the wait has something to decide: a key or a byte waiting on its
// input while it takes one, one of the signals it takes pending, or the wait
// already deciding. Then it sleeps until the wait has decided, so that the
// waiting thread need not be chosen among thousands of busy ones.

// For the wait, before it first waits: the signals it lets through while it
// waits, which are the ones the busy threads look for, except those ignored
// now, which never wake it.
void watch_signals(const sigset_t& taken);

// For the wait: whether it is taking a key or a byte from standard input, so
// that input there is for it to decide on. Cleared before it turns to holding
// or to the background, since someone else's input, or a hangup that stays,
// must not pause the load.
void arm_input(bool armed);

// For the wait: it has woken with input or a signal, and the busy threads
// make way until decided() or stop_load().
void deciding();

// For the wait: it goes on waiting; the busy threads go back to their load.
void decided();

// The load is no longer wanted: every busy thread parks for good at its next
// preemption, and one making way never comes back.
void stop_load();
bool load_stopped();

// For a busy thread, between two spins: returns at once unless the wait has
// something to decide, and otherwise once it has decided.
void make_way();
