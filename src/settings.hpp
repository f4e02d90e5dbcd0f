// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

// What the command line asks for: bytes of memory to hold and busy threads to start.
struct settings {
    std::int64_t ram_bytes = 0;
    std::int32_t cores = 0;
};

// Scans -m MB and -c N (the last of each wins, text that is not a number counts
// as 0), writes the "RAM=" line with the byte count and returns the request.
// On an unknown option or a missing argument it writes one line to standard
// error and ends the process with status 1.
settings parse_args(int argc, char* argv[]);
