// SPDX-License-Identifier: MIT
#pragma once

// Waits for one key, holding everything else as it is, and puts the terminal
// back as it was found before returning. Where standard input is a terminal
// and the process has its foreground, the terminal is in single-key mode and
// one read in that mode (an arrow key arrives whole) ends the wait. Where the
// process runs in the background, the terminal is left alone and the wait
// goes on until a signal; each continue looks again. Anything else that is
// not a terminal gives exactly one byte, and its end ends the wait too; an
// input that cannot be read holds the wait until a signal. Ctrl-Z puts the
// terminal back and stops the process.
void get_keypress();
