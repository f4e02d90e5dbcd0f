// SPDX-License-Identifier: MIT
#include "spin.hpp"

#include <cstddef>

// Where the C library registers a restartable sequence for every thread (glibc
// 2.35 and later), the kernel resumes a thread preempted in one at its abort
// label: the loop learns of it without an instruction added.
#if defined(__x86_64__) && defined(__LP64__) && __has_include(<sys/rseq.h>)
#include <sys/rseq.h>
#define LOADHOG_RSEQ_SPIN 1
#endif

#ifdef LOADHOG_RSEQ_SPIN

bool spin_interruptible() { return __rseq_size > 0; }

// The abort label follows the signature the C library registered. The kernel
// clears the pointer to the descriptor at each abort, so each entry sets it.
// The registered area lies at the C library's offset from %fs:0.
void spin_until_interrupted()
{
    char* thread_pointer = nullptr;
    asm("movq %%fs:0, %0" : "=r"(thread_pointer));
    auto* own = reinterpret_cast<struct rseq*>(thread_pointer + __rseq_offset);
    asm volatile(".pushsection .data.rel.ro, \"aw\"\n\t"
                 ".balign 32\n"
                 "3:\n\t"
                 ".long 0, 0\n\t"
                 ".quad 1f, 2f - 1f, 4f\n\t"
                 ".popsection\n\t"
                 "leaq 3b(%%rip), %%rax\n\t"
                 "movq %%rax, %[cs]\n"
                 "1:\n\t"
                 "jmp 1b\n"
                 "2:\n\t"
                 ".byte 0x0f, 0xb9, 0x3d\n\t"
                 ".long %c[signature]\n"
                 "4:\n"
                 : [cs] "=m"(own->rseq_cs)
                 : [signature] "i"(RSEQ_SIG)
                 : "rax", "memory");
}

#else

bool spin_interruptible() { return false; }

void spin_until_interrupted() {}

#endif

// An empty loop may be deleted (clang++ does); an empty volatile asm keeps it
// and compiles to nothing.
void spin_forever()
{
    for (;;)
        asm volatile("");
}
