// SPDX-License-Identifier: MIT
#pragma once

// Waits for one key, holding everything else as it is, and puts the terminal
// back as it was found before returning. Where standard input is a terminal
// and the process has its foreground (or, when it is not the controlling
// terminal, someone lends it, as terminal_lender tells), the terminal is in
// single-key mode and one read in that mode (an arrow key arrives whole) ends
// the wait. Where the terminal is someone else's, it is left alone and the
// wait goes on until a signal, looking again at each continue and ten times a
// second; a lent terminal that stops being lent gets the mode found back if
// it still has the mode applied. A lent terminal is looked at again before
// each read, so input typed once it is no longer lent stays for the shell.
// A terminal that hangs up is left alone and holds the wait until a signal.
// Anything else gives exactly one byte, and its end ends the wait too; an
// input that cannot be read holds the wait until a signal. Ctrl-Z puts the
// terminal back and stops the process.
// Returns 0 after the key or the byte or the end of input, or 129, as for a
// hangup, once a lender of the terminal has ended: the run is then out of
// reach of keys, hangups and job control, and the load is let go.
int get_keypress();
