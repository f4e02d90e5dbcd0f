// SPDX-License-Identifier: MIT
#pragma once

#include "settings.hpp"

#include <pthread.h>

// Takes a block of s.ram_bytes bytes, writes zero into every byte so that the
// whole block is resident (from 64 MB on huge pages where the system allows,
// by one thread per allowed processor, all ended before the line), writes
// "Using N MB of RAM" and returns the block, which the caller releases with
// free. If the block cannot be had, or cannot even be addressed (4 GiB or more
// on a 32-bit system), it writes "Couldn't get N MB of memory!" to standard
// output and ends the process with status 1.
void* get_ram(settings s);

// Starts s.cores threads running run_forever, one after another, and returns
// their handles once all run (nullptr when s.cores is not positive). Each new
// thread sleeps until the last has been started. The start takes time in
// proportion to the count where two processors or more may be used, and in
// proportion to its square on one. Each thread is born with the wait's
// signals blocked (see wait_signals), which the calling thread blocks only
// for the moment of each start, and once all run each has the processors and
// the scheduling that default attributes give (following a cpuset widened
// later, unless the process was narrowed to fewer processors than its cpuset
// allows), but for a time slice of 8 ms where the kernel takes one (6.12 and
// later), so that a woken waiting thread with a shorter one is run before
// them where the busy threads cannot make way (see make_way). If a thread
// cannot be started it writes "Error running threads to use N CPU cores" to
// standard output and ends the process with status 1.
pthread_t* create_threads(settings s);

// Puts the calling thread, which is about to wait for the key, in the lowest
// real-time class, so that when the key comes it runs at once however many
// busy threads compete; where that is refused, it gives the thread a short
// time slice instead (kernel 6.12 and later), which the fair scheduler serves
// first. While it waits it uses no processor, so the load is unchanged. Only
// for a process started under the normal policy at nice 0: otherwise, and
// where neither is allowed, nothing changes.
void favour_waiting_thread();

// Ends the load of the threads create_threads started, so that what follows
// (releasing the block, ending the process) is not held up by it. Where the C
// library registers restartable sequences (x86-64), each busy thread parks
// for good at its next preemption, and this returns at once; elsewhere each is
// moved to the idle class, where it runs only when nothing else wants a
// processor.
void stop_threads(const pthread_t* threads, settings s);

// Sleeps until create_threads has started every thread, then keeps one
// processor fully busy until the process ends or, after stop_threads, parks.
// Where the C library registers restartable sequences (x86-64), it makes way
// for the wait (make_way) before its first spin and at each preemption,
// outside the loop, which stays a branch to itself. Never returns.
[[noreturn]] void* run_forever(void* unused);
