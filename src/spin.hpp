// SPDX-License-Identifier: MIT
#pragma once

// How a busy thread keeps its processor busy: a loop that is nothing but a
// branch to itself.

// Whether spin_until_interrupted may be used: the C library registered a
// restartable sequence for every thread and this build has the spin for the
// architecture. The same for the whole run.
bool spin_interruptible();

// Spins until the kernel next interrupts the thread (a preemption, a
// migration, a signal). Only where spin_interruptible().
void spin_until_interrupted();

[[noreturn]] void spin_forever();
