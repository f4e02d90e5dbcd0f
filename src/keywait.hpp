#pragma once

// Waits until one character can be read from standard input, or until input
// ends. When standard input is a terminal, a single key ends the wait with no
// Enter needed, and the terminal's settings are put back exactly as found,
// also when an interrupt, quit, hangup or termination signal ends the process
// during the wait. Ctrl-Z gives the shell its usual terminal while stopped.
void get_keypress();
