// SPDX-License-Identifier: MIT
#include "harness.hpp"

#include <gtest/gtest.h>

namespace {

struct option_case {
    const char* name;
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int status;
    std::string out_path = {}; // standard output goes there instead: a file, or "-" for closed
    // The output and status where size_t (and long) has 32 bits, if they differ.
    std::string out_32 = {};
    int status_32 = 0;
    bool term_at_prompt = false; // input held open, SIGTERM once the prompt has come
};

// The status of a row run only where size_t has 32 bits: with 64 it would
// take the load it asks for.
constexpr int only_32_bit = -2;
const bool word_32_bit = sizeof(std::size_t) == 4;

const std::string prompt = "Using 0 CPU cores\n(press any key to stop)\n";
const std::string long_max = "RAM=2251799812636672\nCouldn't get 2147483647 MB of memory!\n";

// clang-format off
const option_case option_cases[] = {
    {"no options", {}, "RAM=0\nUsing 0 MB of RAM\n" + prompt, "", 0},
    {"both options", {"-m", "3", "-c", "1"}, "RAM=3145728\nUsing 3 MB of RAM\nUsing 1 CPU cores\n(press any key to stop)\n", "", 0},
    {"last one wins, joined argument", {"-m7", "-m", "2"}, "RAM=2097152\nUsing 2 MB of RAM\n" + prompt, "", 0},
    {"option word taken as argument", {"-m", "-c", "4"}, "RAM=0\nUsing 0 MB of RAM\n" + prompt, "", 0},
    {"number read up to the first other character", {"-m", " 1.5"}, "RAM=1048576\nUsing 1 MB of RAM\n" + prompt, "", 0},
    {"text that is no number", {"-m", "abc"}, "RAM=0\nUsing 0 MB of RAM\n" + prompt, "", 0},
    {"negative cores", {"-c", "-3"}, "RAM=0\nUsing 0 MB of RAM\nUsing -3 CPU cores\n(press any key to stop)\n", "", 0},
    {"missing memory argument", {"-m"}, "", "Option m requires an integer argument.\n", 1},
    {"missing cores argument", {"-c"}, "", "Option c requires an integer argument.\n", 1},
    {"unknown printable option", {"-x"}, "", "Unknown option '-x'.\n", 1},
    {"unknown control character", {"-\x01"}, "", "Unknown option character '\\x1'.\n", 1},
    {"unknown byte above 0x7f", {"-\xc3\xa9"}, "", "Unknown option character '\\xc3'.\n", 1},
    {"negative memory", {"-m", "-5"}, "RAM=-5242880\nCouldn't get -5 MB of memory!\n", "", 1},
    {"shift into the sign bit", {"-m", "8796093022208"}, "RAM=-9223372036854775808\nCouldn't get 0 MB of memory!\n", "", 1, "", long_max, 1},
    {"beyond the range of a long", {"-m", "99999999999999999999"}, "RAM=-1048576\nCouldn't get -1 MB of memory!\n", "", 1, "", long_max, 1},
    {"below the range of a long, shifted out", {"-m", "-99999999999999999999"}, "RAM=0\nUsing 0 MB of RAM\n" + prompt, "", 0, "", "RAM=-2251799813685248\nCouldn't get -2147483648 MB of memory!\n", 1},
    {"memory beyond 4 GiB", {"-m", "4097"}, "", "", only_32_bit, "", "RAM=4296015872\nCouldn't get 4097 MB of memory!\n", 1},
    {"cores beyond 32 bits", {"-c", "4294967297"}, "RAM=0\nUsing 0 MB of RAM\nUsing 1 CPU cores\n(press any key to stop)\n", "", 0, "", "RAM=0\nUsing 0 MB of RAM\nError running threads to use 2147483647 CPU cores\n", 1},
    {"handle table beyond size_t", {"-c", "1073741825"}, "", "", only_32_bit, "", "RAM=0\nUsing 0 MB of RAM\nError running threads to use 1073741825 CPU cores\n", 1},
    {"output to a full device", {"-m", "1"}, "", "Error writing output: No space left on device\n", 1, "/dev/full"},
    {"output closed", {"-m", "1"}, "", "Error writing output: Bad file descriptor\n", 1, "-"},
    {"report out before a signal ends the wait", {"-m", "1", "-c", "1"}, "RAM=1048576\nUsing 1 MB of RAM\nUsing 1 CPU cores\n(press any key to stop)\n", "", 128 + SIGTERM, "", "", 0, true},
};
// clang-format on

TEST_ROWS(options, option_cases);

TEST_P(options, give_exact_output_and_status)
{
    const auto& c = GetParam();
    const bool own_32_bit = word_32_bit && !c.out_32.empty();
    if (c.status == only_32_bit && !own_32_bit)
        GTEST_SKIP() << "run only where size_t has 32 bits: here it would take the load it asks for";
    const outcome run = run_loadhog(c.args, RLIM_INFINITY, c.out_path, c.term_at_prompt);
    EXPECT_EQ(run.out, own_32_bit ? c.out_32 : c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.status, own_32_bit ? c.status_32 : c.status);
}

struct limit_case {
    const char* name;
    std::vector<std::string> args;
    rlim_t address_space;
    std::string out;
    int status;
};

// Address-space limits make the allocator and thread starts fail for real.
// clang-format off
const limit_case limit_cases[] = {
    {"memory refused", {"-m", "512"}, 256u << 20, "RAM=536870912\nCouldn't get 512 MB of memory!\n", 1},
    {"thread stacks refused", {"-c", "64"}, 96u << 20, "RAM=0\nUsing 0 MB of RAM\nError running threads to use 64 CPU cores\n", 1},
    {"handle table refused", {"-c", "2147483647"}, 96u << 20, "RAM=0\nUsing 0 MB of RAM\nError running threads to use 2147483647 CPU cores\n", 1},
    // The least limit that lets the block be had (0: the test finds it) leaves no room for a writer's stack.
    {"fill writers refused", {"-m", "128"}, 0, "RAM=134217728\nUsing 128 MB of RAM\nUsing 0 CPU cores\n(press any key to stop)\n", 0},
};
// clang-format on

TEST_ROWS(limits, limit_cases);

TEST_P(limits, end_with_their_report_and_status)
{
#ifdef LOADHOG_SANITIZED
    GTEST_SKIP() << "the sanitizers reserve more address space than any limit here";
#endif
    if (emulated())
        GTEST_SKIP() << "an emulator reserves address space of its own, and the program's allocations are not "
                        "held to the limit as they are natively";
    const auto& c = GetParam();
    rlim_t limit = c.address_space;
    // What a process takes besides the block differs between toolchains: the
    // least limit is found, to the MiB, below twice the block.
    for (rlim_t refused = 0; c.address_space == 0 && (limit == 0 || limit - refused > (1u << 20));) {
        const rlim_t middle = limit == 0 ? rlim_t{256} << 20 : refused + (limit - refused) / 2;
        (run_loadhog(c.args, middle).out.find("Couldn't get") == std::string::npos ? limit : refused) = middle;
    }
    const outcome run = run_loadhog(c.args, limit);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, c.status);
}

} // namespace
