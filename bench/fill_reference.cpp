// SPDX-License-Identifier: MIT
// The least a fill can cost: take a block of the given MB, zero every byte,
// release it. The barrier keeps the compiler from turning malloc and a zero
// fill into calloc, which would leave the pages untouched.
#include <cstdlib>
#include <cstring>

int main(int argc, char* argv[])
{
    if (argc != 2)
        return 2;
    const std::size_t bytes = std::strtoull(argv[1], nullptr, 10) << 20;
    void* block = std::malloc(bytes);
    if (block == nullptr)
        return 1;
    asm volatile("" : : "r"(block) : "memory");
    std::memset(block, 0, bytes);
    asm volatile("" : : "r"(block) : "memory");
    std::free(block);
    return 0;
}
