// SPDX-License-Identifier: MIT
#pragma once

// Waits for one key, holding everything else as it is, and puts the terminal
// back as it was found before returning. The calling thread is favoured by
// the scheduler (the lowest real-time class, or else the shortest slice)
// unless the user chose a policy or a nice value, so that the key is taken at
// once however many busy threads compete.
// - A terminal that is the process's to read (it has the foreground, or the
//   terminal is lent, as terminal_lender tells) is put in single-key mode,
//   and one read (an arrow key arrives whole) ends the wait. Input typed once
//   it is no longer lent stays for the shell.
// - A terminal that is someone else's is left alone; the wait looks again at
//   each continue and ten times a second. Ctrl-Z puts the terminal back and
//   stops the process. A terminal that hangs up holds the wait until a signal.
// - Anything else gives exactly one byte, and its end ends the wait too; an
//   input that cannot be read holds the wait until a signal.
// Returns 0 after the key, the byte or the end of input; or 129, as for a
// hangup, once a lender of the terminal has ended, which leaves the run out
// of reach of keys, hangups and job control.
int get_keypress();
