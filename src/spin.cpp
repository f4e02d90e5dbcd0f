// SPDX-License-Identifier: MIT
#include "spin.hpp"

#include <cstddef>

// Where the C library registers a restartable sequence for every thread (glibc
// 2.35 and later, on a kernel that has them), the kernel tells a thread of
// each preemption by resuming it at the sequence's abort label, so the loop
// learns of it without a single instruction added. Big-endian and ILP32
// aarch64 are left out: their signature and pointers differ.
#if __has_include(<sys/rseq.h>) && defined(__LP64__) &&                                                             \
    (defined(__x86_64__) || (defined(__aarch64__) && defined(__AARCH64EL__)))
#include <sys/rseq.h>
#define LOADHOG_RSEQ_SPIN 1
#endif

#ifdef LOADHOG_RSEQ_SPIN

bool spin_interruptible() { return __rseq_size > 0; }

// The abort label must follow the signature the C library registered. The
// descriptor is constant data; the kernel clears the thread's pointer to it
// at each abort, so it is set again at each entry, by the last instruction
// before the loop: preempted before it, the thread is outside the sequence
// with no descriptor set; after it, inside. The thread's registered area lies
// at the C library's offset from the thread pointer.
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

// An empty loop may be assumed to end and so be deleted (clang++ does); an
// empty volatile asm counts as a side effect, keeps the loop, and compiles to
// nothing but the jump back.
void spin_forever()
{
    for (;;)
        asm volatile("");
}
