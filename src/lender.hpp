// SPDX-License-Identifier: MIT
#pragma once

// For a terminal on standard input that is not the controlling one: the
// process that lends it now, or 0. The lender is the first ancestor outside
// the process's session, in the terminal's foreground group and waiting for a
// child (su -c, setsid -w), and every process between waits for a child too,
// or for its end in sigsuspend or on a futex (zsh, mksh, tcsh, fish). Where
// /proc hides how the lender waits, asleep in the foreground is enough,
// except for PID 1. Nobody lends where /proc is another PID namespace's, or
// while descriptor 0, 1 or 2 is closed.
long terminal_lender();

// Whether `lender` is no longer among this process's ancestors.
bool lender_ended(long lender);
