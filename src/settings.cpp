// SPDX-License-Identifier: MIT
#include "settings.hpp"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

// atol and atoi are undefined on out-of-range text; strtol gives what they
// give for in-range text and clamps the rest, so every input has a result.
long to_long(const char* text) { return std::strtol(text, nullptr, 10); }

[[noreturn]] void bad_option(int option)
{
    // getopt hands bytes of 0x80 and above back sign-extended; isprint needs
    // the byte itself, and so does the hex shown to the user.
    const int byte = static_cast<unsigned char>(option);
    if (byte == 'm' || byte == 'c')
        std::fprintf(stderr, "Option %c requires an integer argument.\n", byte);
    else if (std::isprint(byte))
        std::fprintf(stderr, "Unknown option '-%c'.\n", byte);
    else
        std::fprintf(stderr, "Unknown option character '\\x%x'.\n", static_cast<unsigned>(byte));
    std::exit(1);
}

} // namespace

settings parse_args(int argc, char* argv[])
{
    settings s;
    opterr = 0;
    for (int opt; (opt = getopt(argc, argv, "m:c:")) != -1;) {
        switch (opt) {
        case 'm':
            // Shifted unsigned: a negative or huge count wraps like the plain
            // shift would, without the undefined behaviour.
            s.ram_bytes = static_cast<std::int64_t>(static_cast<std::uint64_t>(to_long(optarg)) << 20);
            break;
        case 'c':
            s.cores = static_cast<std::int32_t>(to_long(optarg));
            break;
        case '?':
            bad_option(optopt);
        default:
            std::abort();
        }
    }
    std::printf("RAM=%" PRId64 "\n", s.ram_bytes);
    return s;
}
