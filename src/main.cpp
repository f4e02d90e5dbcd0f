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

namespace {

// The report goes out whole before the wait (to a pipe or a file, in one
// write), so a log has it while the load is held, however the run ends, and
// a failure is told then, as a run a signal ends never could; what follows
// shows its errors at the close. Returns 0, or 1 after saying why.
int output_status(bool close)
{
    const bool failed_before = std::ferror(stdout) != 0;
    errno = 0;
    if ((close ? std::fclose(stdout) : std::fflush(stdout)) == 0 && !failed_before)
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
    create_threads(s);
    std::printf("Using %" PRId32 " CPU cores\n", s.cores);
    std::puts("(press any key to stop)");
    if (output_status(false) != 0)
        return 1;
    const int status = get_keypress();
    std::free(block);
    const int written = output_status(true);
    return status != 0 ? status : written;
}
