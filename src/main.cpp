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

int output_failed(int err)
{
    std::fprintf(stderr, "Error writing output: %s\n", std::strerror(err != 0 ? err : EIO));
    return 1;
}

// The report goes out whole before the wait (to a pipe or file, in one write),
// so a log has it while the load is held, however the run ends. A failure is
// told here, as a run a signal ends never could.
bool report_written()
{
    errno = 0;
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0)
        return true;
    output_failed(errno);
    return false;
}

// Errors of what is written after the report show only now.
int close_output()
{
    const bool failed_before = std::ferror(stdout) != 0;
    errno = 0;
    if (std::fclose(stdout) == 0 && !failed_before)
        return 0;
    return output_failed(errno);
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
    if (!report_written())
        return 1;
    const int status = get_keypress();
    std::free(block);
    const int written = close_output();
    return status != 0 ? status : written;
}
