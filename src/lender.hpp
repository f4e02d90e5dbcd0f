// SPDX-License-Identifier: MIT
#pragma once

// For a terminal on standard input that is not this process's controlling
// terminal: who lends it now, so that nobody else reads it while this process
// does, as a process number, or 0 where nobody does. The lender is the first
// ancestor outside the process's session. It lends while it is in the
// terminal's foreground group and, as /proc shows, blocked waiting for a
// child, and every process between it and this one waits for a child too,
// or for a signal or on a futex while it catches a child's end (zsh, mksh,
// tcsh, fish): su -c and setsid -w lend, and so do they when a shell of the
// new session runs the program among other commands. Where /proc hides the
// lender's wait (to a reader not allowed to trace it), being in the
// foreground and asleep is enough, except for PID 1, which may be a shell at
// its prompt that has taken in an orphan. No one lends where /proc numbers
// processes for another PID namespace. Each call reads /proc afresh, and only
// while descriptors 0, 1 and 2 are open, so none of its own takes their place.
long terminal_lender();

// Whether `lender`, which lent the terminal before, has ended since: it is no
// longer among this process's ancestors (the walk up is bounded as above).
bool lender_ended(long lender);
