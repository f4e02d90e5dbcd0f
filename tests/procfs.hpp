// SPDX-License-Identifier: MIT
#pragma once

// What the kernel shows in /proc about a running process, for the tests and
// the benchmark, and how both run loadhog as an ordinary user. Each reader
// returns what it finds now; a process that is gone gives empty or negative
// answers.

#include <sched.h>
#include <string>
#include <sys/types.h>
#include <vector>

struct thread_facts {
    pid_t tid;
    cpu_set_t cpus; // the processors it may run on
    int nice;
    int policy;
    double cpu_seconds;         // processor time used so far, to the nanosecond
    unsigned long long blocked; // the signals it blocks, bit N-1 for signal N
    char state;                 // R running, S sleeping, and so on
};

// Every thread of the process, the initial one included.
std::vector<thread_facts> threads_of(pid_t pid);

long resident_kb(pid_t pid);
// The part of one mapping on transparent huge pages: the mapping that holds
// `address`, or the largest one where it is 0.
long anon_huge_kb(pid_t pid, const void* address = nullptr);
int thread_count(pid_t pid);

// Processor time of the whole process so far, to the clock tick.
double cpu_seconds(pid_t pid);

// The first child the process started, or -1; and the end of the line of
// first children down from it, or the process itself where it has none.
pid_t first_child(pid_t pid);
pid_t last_descendant(pid_t pid);

// How many times the process's initial thread has gone to sleep of its own
// accord: a waiting loadhog does so once each round of its wait.
long voluntary_switches(pid_t pid);

// Drops the rights an ordinary user lacks that loadhog would use: to raise a
// thread's scheduling class or priority (the real-time and nice limits, and
// the capability), and to trace others' processes, which shows what they wait
// for. A capability goes from the bounding set too, since exec would
// otherwise grant it to root again. So what runs next is measured, and
// tested, as an ordinary user would run it.
void drop_privilege();

// The state letter: R running, S sleeping, T stopped, and so on.
char run_state(pid_t pid);
