#include "harness.hpp"

#include <csignal>
#include <gtest/gtest.h>

namespace {

const std::string shown = "RAM=0\r\nUsing 0 MB of RAM\r\nUsing 0 CPU cores\r\n(press any key to stop)\r\n";

struct key_case {
    const char* name;
    tcflag_t lflag_off;
    std::string key;
    std::string echo;
};

// The single-key mode is derived from the mode found, whatever that was.
const key_case key_cases[] = {
    {"plain key", 0, "q", "q"},
    {"enter", 0, "\r", "\r\n"},
    {"echo off", ECHO, "x", ""},
    {"ctrl_c as a key when isig is off", ISIG, "\x03", "^C"},
};

void PrintTo(const key_case& c, std::ostream* os) { *os << c.name; }

class keys : public testing::TestWithParam<key_case> {};

TEST_P(keys, end_the_wait_in_single_key_mode_and_restore_the_terminal)
{
    const auto& c = GetParam();
    termios mode = default_mode();
    mode.c_lflag &= ~c.lflag_off;
    mode.c_cc[VMIN] = 4;
    mode.c_cc[VTIME] = 7;
    pty_run run({}, mode);
    ASSERT_TRUE(wait_for_key_mode(run)) << run.seen;

    termios expected = run.found;
    expected.c_lflag &= ~static_cast<tcflag_t>(ICANON);
    expected.c_cc[VMIN] = 1;
    expected.c_cc[VTIME] = 0;
    EXPECT_TRUE(same_mode(current_mode(run), expected));

    type(run, c.key);
    EXPECT_TRUE(read_until(run, shown + c.echo));
    EXPECT_EQ(finish(run), 0) << run.seen;
    EXPECT_EQ(run.seen, shown + c.echo);
    EXPECT_TRUE(same_mode(run.left, run.found));
}

INSTANTIATE_TEST_SUITE_P(loadhog, keys, testing::ValuesIn(key_cases), case_name{});

struct signal_case {
    const char* name;
    std::string keys;
    int sig;
    bool ignored;
};

// clang-format off
const signal_case signal_cases[] = {
    {"ctrl_c", "\x03", SIGINT, false},
    {"ctrl_backslash", "\x1c", SIGQUIT, false},
    {"kill", "", SIGTERM, false},
    {"hangup", "", SIGHUP, false},
    {"hangup under nohup", "", SIGHUP, true},
};
// clang-format on

void PrintTo(const signal_case& c, std::ostream* os) { *os << c.name; }

class signals : public testing::TestWithParam<signal_case> {};

TEST_P(signals, restore_the_terminal_and_end_by_the_same_signal)
{
    const auto& c = GetParam();
    pty_run run({}, default_mode(), {}, [&] {
        if (c.ignored)
            signal(SIGHUP, SIG_IGN);
    });
    ASSERT_TRUE(wait_for_key_mode(run)) << run.seen;

    if (c.keys.empty())
        kill(run.prog, c.sig);
    else
        type(run, c.keys);
    if (c.ignored)
        type(run, "k");

    EXPECT_EQ(finish(run), c.ignored ? 0 : 128 + c.sig);
    EXPECT_TRUE(same_mode(run.left, run.found));
}

INSTANTIATE_TEST_SUITE_P(loadhog, signals, testing::ValuesIn(signal_cases), case_name{});

TEST(stop, gives_the_shell_its_terminal_and_takes_single_keys_again_after_continue)
{
    pty_run run({}, default_mode());
    ASSERT_TRUE(wait_for_key_mode(run)) << run.seen;

    type(run, "\x1a");
    ASSERT_TRUE(eventually([&] { return run_state(run.prog) == 'T'; }));
    EXPECT_TRUE(same_mode(current_mode(run), run.found));

    kill(run.prog, SIGCONT);
    ASSERT_TRUE(eventually([&] { return single_key_mode(run); }));
    type(run, "k");
    EXPECT_EQ(finish(run), 0) << run.seen;
    EXPECT_TRUE(same_mode(run.left, run.found));
}

TEST(type_ahead, a_key_typed_before_the_wait_ends_it_at_once)
{
    pty_run run({}, default_mode(), "k");
    EXPECT_EQ(finish(run), 0) << run.seen;
    EXPECT_TRUE(same_mode(run.left, run.found));
}

} // namespace
