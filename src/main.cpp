// SPDX-License-Identifier: MIT
#include "keywait.hpp"
#include "load.hpp"
#include "settings.hpp"
#include "signals.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

namespace {

// A report that never reached its reader must not pass for success: output
// to a file or a pipe is written only now, so its errors show only now.
int close_output()
{
    const bool failed_before = std::ferror(stdout) != 0;
    errno = 0;
    if (std::fclose(stdout) == 0 && !failed_before)
        return 0;
    std::fprintf(stderr, "Error writing output: %s\n", std::strerror(errno != 0 ? errno : EIO));
    return 1;
}

} // namespace

int main(int argc, char* argv[])
{
    catch_signals();
    const settings s = parse_args(argc, argv);
    void* block = get_ram(s);
    const pthread_t* threads = create_threads(s);
    std::printf("Using %" PRId32 " CPU cores\n", s.cores);
    std::puts("(press any key to stop)");
    favour_waiting_thread();
    const int status = get_keypress();
    stop_threads(threads, s);
    std::free(block);
    const int written = close_output();
    return status != 0 ? status : written;
}
