// SPDX-License-Identifier: MIT
// The floor of a fill: what writing the same block costs once it is resident.
// It takes a block of the given MB on huge pages where the system allows,
// makes it resident, then zeroes it three more times with one thread per
// processor it may use, each over a part of its own, and prints the best of
// those three times in seconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <sys/mman.h>
#include <thread>
#include <vector>

namespace {

void write_all(char* block, std::size_t bytes, std::size_t writers)
{
    std::vector<std::thread> threads;
    const std::size_t part = bytes / writers;
    for (std::size_t i = 1; i < writers; ++i)
        threads.emplace_back([=] { std::memset(block + i * part, 0, i + 1 == writers ? bytes - i * part : part); });
    std::memset(block, 0, writers == 1 ? bytes : part);
    for (auto& t : threads)
        t.join();
    // Keeps the compiler from dropping stores to memory that is never read.
    asm volatile("" : : "r"(block) : "memory");
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 2)
        return 2;
    const std::size_t bytes = std::strtoull(argv[1], nullptr, 10) << 20;
    constexpr std::size_t huge_page = std::size_t{2} << 20;
    void* aligned = nullptr;
    if (posix_memalign(&aligned, huge_page, bytes) != 0)
        return 1;
    madvise(aligned, bytes, MADV_HUGEPAGE);
    auto* block = static_cast<char*>(aligned);
    asm volatile("" : : "r"(block) : "memory");
    cpu_set_t allowed;
    const auto writers = static_cast<std::size_t>(
        std::max(1, sched_getaffinity(0, sizeof allowed, &allowed) == 0 ? CPU_COUNT(&allowed) : 1));
    write_all(block, bytes, writers);
    double best = 1e9;
    for (int i = 0; i < 3; ++i) {
        const auto start = std::chrono::steady_clock::now();
        write_all(block, bytes, writers);
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::printf("%.6f\n", best);
    std::free(aligned);
    return 0;
}
