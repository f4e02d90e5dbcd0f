#include "harness.hpp"
#include "load.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

namespace {

struct fill_case {
    const char* name;
    std::int64_t bytes;
    std::string line;
};

const fill_case fill_cases[] = {
    {"nothing", 0, "Using 0 MB of RAM\n"},
    {"part of a page", 3000, "Using 0 MB of RAM\n"},
    {"64 MB and a bit", (64 << 20) + 4096 + 5, "Using 64 MB of RAM\n"},
};

void PrintTo(const fill_case& c, std::ostream* os) { *os << c.name; }

class fill : public testing::TestWithParam<fill_case> {};

// A block that is only reserved has pages the kernel has not yet handed out.
TEST_P(fill, makes_every_page_of_the_block_resident_and_zero)
{
    const auto& c = GetParam();
    testing::internal::CaptureStdout();
    auto* block = static_cast<unsigned char*>(get_ram(settings{c.bytes, 0}));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line);

    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto first = reinterpret_cast<std::uintptr_t>(block) & ~(page - 1);
    const auto end = reinterpret_cast<std::uintptr_t>(block) + static_cast<std::uintptr_t>(c.bytes);
    std::vector<unsigned char> resident((end - first + page - 1) / page);
    ASSERT_EQ(mincore(reinterpret_cast<void*>(first), end - first, resident.data()), 0);
    for (std::size_t i = 0; i < resident.size(); ++i)
        ASSERT_TRUE(resident[i] & 1) << "page " << i << " of " << resident.size();
    for (std::int64_t i = 0; i < c.bytes; ++i)
        ASSERT_EQ(block[i], 0) << "byte " << i;
    std::free(block);
}

INSTANTIATE_TEST_SUITE_P(loadhog, fill, testing::ValuesIn(fill_cases), case_name{});

struct hold_case {
    const char* name;
    std::vector<std::string> args;
    long min_resident_mb;
    int busy_threads;
};

const hold_case hold_cases[] = {
    {"memory only", {"-m", "256"}, 256, 0},
    {"one busy thread", {"-c", "1"}, 0, 1},
    {"a busy thread per core", {"-m", "64", "-c", "2"}, 64, 2},
};

void PrintTo(const hold_case& c, std::ostream* os) { *os << c.name; }

class hold : public testing::TestWithParam<hold_case> {};

// Measured on a real terminal while the program waits for its key: the block
// is resident and each busy thread burns a whole core, the waiting one none.
TEST_P(hold, keeps_the_requested_load_while_waiting)
{
    const auto& c = GetParam();
    if (c.busy_threads > static_cast<int>(std::thread::hardware_concurrency()))
        GTEST_SKIP() << "fewer cores than busy threads";
    pty_run run(c.args, default_mode());
    ASSERT_TRUE(wait_for_key_mode(run)) << run.seen;

    EXPECT_GE(resident_kb(run.prog), c.min_resident_mb * 1024);
    EXPECT_EQ(thread_count(run.prog), c.busy_threads + 1);

    const double cpu_before = cpu_seconds(run.prog);
    const auto wall_before = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double cores = (cpu_seconds(run.prog) - cpu_before) /
                         std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count();
    // A loop that was optimised away, sleeps or blocks gives next to nothing;
    // the floor leaves room for other load on a shared machine.
    EXPECT_GE(cores, 0.45 * c.busy_threads);
    EXPECT_LE(cores, c.busy_threads + 0.2);

    type(run, "k");
    EXPECT_EQ(finish(run), 0) << run.seen;
}

INSTANTIATE_TEST_SUITE_P(loadhog, hold, testing::ValuesIn(hold_cases), case_name{});

} // namespace
