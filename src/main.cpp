// SPDX-License-Identifier: MIT
#include "keywait.hpp"
#include "load.hpp"
#include "settings.hpp"
#include "signals.hpp"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[])
{
    catch_signals();
    const settings s = parse_args(argc, argv);
    void* block = get_ram(s);
    const pthread_t* threads = create_threads(s);
    std::printf("Using %" PRId32 " CPU cores\n", s.cores);
    std::puts("(press any key to stop)");
    get_keypress();
    idle_threads(threads, s);
    std::free(block);
    return 0;
}
