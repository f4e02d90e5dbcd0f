// SPDX-License-Identifier: MIT
#pragma once

#include "settings.hpp"

#include <cstdint>
#include <pthread.h>

// Takes a block of s.ram_bytes bytes, writes zero into every byte so that it
// is resident, writes "Using N MB of RAM" (no thread of the fill left by
// then) and returns the block, for the caller to free. Where it cannot be had
// or addressed, it writes "Couldn't get N MB of memory!" and exits with 1.
void* get_ram(settings s);

// Starts s.cores threads running run_forever and returns their handles once
// all run, each then with the processors and scheduling default attributes
// give and the wait's signals blocked. Where one cannot be started it writes
// "Error running threads to use N CPU cores" and exits with 1.
pthread_t* create_threads(settings s);

// Asks a time slice of `ns` nanoseconds (0: the default) for the calling
// thread under a fair policy; false where refused. 6.1 takes it and ignores it.
bool ask_slice(std::uint64_t ns);

// Keeps one processor fully busy until the process ends or, where it can make
// way for the wait (spin_interruptible), the key. Never returns.
[[noreturn]] void* run_forever(void* unused);
