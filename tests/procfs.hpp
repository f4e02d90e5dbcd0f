// SPDX-License-Identifier: MIT
#pragma once

// What /proc shows about a running process, for the tests and the benchmark.
// A process that is gone gives empty or negative answers.

#include <sched.h>
#include <string>
#include <sys/types.h>
#include <vector>

struct thread_facts {
    pid_t tid;
    cpu_set_t cpus; // the processors it may run on
    int nice;
    int policy;
    double cpu_seconds;         // to the nanosecond
    unsigned long long blocked; // the signals it blocks, bit N-1 for signal N
    char state;                 // R running, S sleeping, T stopped, and so on
};

// Every thread of the process, the initial one included.
std::vector<thread_facts> threads_of(pid_t pid);

// A number that /proc/PID/status shows, as "Threads" or "VmRSS"; -1 if none.
long status_field(pid_t pid, const std::string& field);
long resident_kb(pid_t pid);
int thread_count(pid_t pid);
// The part on transparent huge pages of the mapping that holds `address`, or
// of the largest one where it is null.
long anon_huge_kb(pid_t pid, const void* address = nullptr);
double cpu_seconds(pid_t pid); // the whole process's, to the clock tick
char run_state(pid_t pid);     // as thread_facts::state

// The first child the process started, or -1; and the end of the line of
// first children down from it, or the process itself where it has none.
pid_t first_child(pid_t pid);
pid_t last_descendant(pid_t pid);

// Drops the rights an ordinary user lacks that loadhog would use: to raise a
// thread's scheduling and to trace others' processes, the capabilities from
// the bounding set too, or exec would give them back to root.
void drop_privilege();
