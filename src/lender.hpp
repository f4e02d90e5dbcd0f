// SPDX-License-Identifier: MIT
#pragma once

// For a terminal on standard input that is not the controlling one: who lends
// it now, or 0. The lender is the first ancestor outside the session, in the
// terminal's foreground group and waiting for a child (su -c, setsid -w), and
// every process between waits for a child too, or for its end (zsh, mksh,
// tcsh, fish). Where /proc hides how it waits, asleep is enough, but for PID
// 1. Nobody lends while descriptor 0, 1 or 2 is closed.
long terminal_lender();

// Whether `lender` is no longer among this process's ancestors.
bool lender_ended(long lender);
