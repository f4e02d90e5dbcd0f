#include "load.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void* get_ram(settings s)
{
    const auto bytes = static_cast<std::uint64_t>(s.ram_bytes);
    const auto mb = static_cast<std::int32_t>(static_cast<std::uint32_t>(bytes >> 20));

    void* block = std::malloc(bytes);
    if (block == nullptr && bytes != 0) {
        std::printf("Couldn't get %d MB of memory!\n", mb);
        std::exit(1);
    }
    // Both g++ and clang++ turn malloc followed by a zero memset into calloc,
    // which hands back fresh pages without touching them, so the block would
    // be reserved but never resident. The empty asm claims to read and write
    // the block, so the fill has to happen and has to write every page.
    asm volatile("" : : "r"(block) : "memory");
    std::memset(block, 0, bytes);

    std::printf("Using %d MB of RAM\n", mb);
    return block;
}

namespace {

[[noreturn]] void thread_failure(std::int32_t cores)
{
    std::printf("Error running threads to use %d CPU cores\n", cores);
    std::exit(1);
}

} // namespace

pthread_t* create_threads(settings s)
{
    if (s.cores <= 0)
        return nullptr;

    auto* threads = static_cast<pthread_t*>(std::malloc(sizeof(pthread_t) * static_cast<std::size_t>(s.cores)));
    if (threads == nullptr)
        thread_failure(s.cores);
    for (std::int32_t i = 0; i < s.cores; ++i) {
        if (pthread_create(&threads[i], nullptr, run_forever, nullptr) != 0)
            thread_failure(s.cores);
    }
    return threads;
}

void* run_forever(void*)
{
    // An empty loop may be assumed to end and so be deleted (clang++ does);
    // an empty volatile asm counts as a side effect, keeps the loop, and
    // compiles to nothing but the jump back.
    for (;;)
        asm volatile("");
}
