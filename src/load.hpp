// SPDX-License-Identifier: MIT
#pragma once

#include "settings.hpp"

#include <cstdint>
#include <pthread.h>

// Takes a block of s.ram_bytes bytes, writes zero into every byte so that it
// is resident, writes "Using N MB of RAM" and returns the block, which the
// caller releases with free. No thread of the fill is left once the line is
// out. Where the block cannot be had, or not even addressed (4 GiB or more on
// a 32-bit system), it writes "Couldn't get N MB of memory!" to standard
// output and ends the process with status 1.
void* get_ram(settings s);

// Starts s.cores threads running run_forever and returns their handles once
// all run (nullptr for no threads). Each then has the processors and the
// scheduling default attributes give, and blocks the wait's signals. Where a
// thread cannot be started it writes "Error running threads to use N CPU
// cores" to standard output and ends the process with status 1.
pthread_t* create_threads(settings s);

// Asks for a time slice of `ns` nanoseconds (0: the kernel's default) for the
// calling thread under a fair policy, keeping its policy and nice value, and
// says whether the kernel took it. Kernels before 6.12 take it and ignore it.
bool ask_slice(std::uint64_t ns);

// Keeps one processor fully busy until the process ends, or, where it learns
// of its preemptions (spin_interruptible), until the wait's decision after
// the key, making way for the wait meanwhile (make_way). Never returns.
[[noreturn]] void* run_forever(void* unused);
