// SPDX-License-Identifier: MIT
#pragma once

// Waits for one key, holding everything else as it is, and puts the terminal
// back as it was found. Unless the user chose a policy or a nice value, the
// waiting thread is in the lowest real-time class where that is allowed.
// - A terminal that is the process's to read (it has the foreground, or it is
//   lent: terminal_lender) is put in single-key mode; one read ends the wait.
// - A terminal that is someone else's is left alone, and looked at again at
//   each continue and ten times a second. Ctrl-Z puts the terminal back and
//   stops the process. A hangup holds the wait until a signal.
// - Other input gives one byte, or its end; input that cannot be read holds
//   the wait until a signal.
// Returns 0, or 129, as for a hangup, once a lender of the terminal has ended.
int get_keypress();
