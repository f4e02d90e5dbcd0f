// SPDX-License-Identifier: MIT
#include "spin.hpp"

#include <cstddef>

// Where the C library registers a restartable sequence for every thread (glibc
// 2.35 and later), the kernel resumes a thread preempted in one at its abort
// label: the loop learns of it without an instruction added. Big-endian and
// ILP32 aarch64 are left out: their signature and pointers differ.
#if __has_include(<sys/rseq.h>) && defined(__LP64__) &&                                                             \
    (defined(__x86_64__) || (defined(__aarch64__) && defined(__AARCH64EL__)))
#include <sys/rseq.h>
#define LOADHOG_RSEQ_SPIN 1
#endif

#ifdef LOADHOG_RSEQ_SPIN

bool spin_interruptible() { return __rseq_size > 0; }

// The abort label follows the signature the C library registered. The kernel
// clears the pointer to the descriptor at each abort, so each entry sets it,
// by the last instruction before the loop. The registered area lies at the C
// library's offset from the thread pointer.
void spin_until_interrupted()
{
    char* thread_pointer = nullptr;
#ifdef __x86_64__
    asm("movq %%fs:0, %0" : "=r"(thread_pointer));
#else
    asm("mrs %0, tpidr_el0" : "=r"(thread_pointer));
#endif
    auto* own = reinterpret_cast<struct rseq*>(thread_pointer + __rseq_offset);
#ifdef __x86_64__
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
#else
    // The signature is a brk instruction, written as code so that it is in
    // code's byte order; the descriptor's address is formed in pieces, as
    // the program may be loaded anywhere.
    asm volatile(".pushsection .data.rel.ro, \"aw\"\n\t"
                 ".balign 32\n"
                 "3:\n\t"
                 ".long 0, 0\n\t"
                 ".quad 1f, 2f - 1f, 4f\n\t"
                 ".popsection\n\t"
                 "adrp x16, 3b\n\t"
                 "add x16, x16, :lo12:3b\n\t"
                 "str x16, %[cs]\n"
                 "1:\n\t"
                 "b 1b\n"
                 "2:\n\t"
                 ".inst %c[signature]\n"
                 "4:\n"
                 : [cs] "=m"(own->rseq_cs)
                 : [signature] "i"(RSEQ_SIG)
                 : "x16", "memory");
#endif
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
