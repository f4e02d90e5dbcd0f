// SPDX-License-Identifier: MIT
// Starts the given number of busy threads the plain way, with default
// attributes, one after another, each spinning from its first instruction,
// writes the cores line and ends.
#include <cstdio>
#include <cstdlib>
#include <pthread.h>

namespace {

void* spin(void* /*unused*/)
{
    for (;;)
        asm volatile("");
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 2)
        return 2;
    const auto cores = static_cast<int>(std::strtol(argv[1], nullptr, 10));
    for (int i = 0; i < cores; ++i) {
        pthread_t thread;
        if (pthread_create(&thread, nullptr, spin, nullptr) != 0)
            return 1;
    }
    std::printf("Using %d CPU cores\n", cores);
    return 0;
}
