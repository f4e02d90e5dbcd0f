// SPDX-License-Identifier: MIT
#pragma once

// How a busy thread keeps its processor busy: a loop that is nothing but a
// branch to itself, kept by the compiler.

// Whether spin_until_interrupted may be used: the C library registered a
// restartable sequence for every thread and this build has the spin for the
// architecture (x86-64). The answer is the same for the whole run.
bool spin_interruptible();

// Spins until the kernel next interrupts the calling thread (a preemption, a
// migration, a signal), then returns. Only where spin_interruptible().
void spin_until_interrupted();

// Spins for good.
[[noreturn]] void spin_forever();
