// SPDX-License-Identifier: MIT
#include "harness.hpp"
#include "procfs.hpp"

#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>

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
    {"arrow key, three bytes at once", 0, "\x1b[A", "^[[A"},
};

TEST_ROWS(keys, key_cases);

termios single_key_of(const termios& mode)
{
    termios single_key = mode;
    single_key.c_lflag &= ~static_cast<tcflag_t>(ICANON);
    single_key.c_cc[VMIN] = 1;
    single_key.c_cc[VTIME] = 0;
    return single_key;
}

TEST_P(keys, end_the_wait_in_single_key_mode_and_restore_the_terminal)
{
    const auto& c = GetParam();
    termios mode = default_mode();
    mode.c_lflag &= ~c.lflag_off;
    mode.c_cc[VMIN] = 4;
    mode.c_cc[VTIME] = 7;
    pty_run run({}, mode);
    ASSERT_TRUE(wait_for_key_mode(run)) << run.seen;

    EXPECT_TRUE(same_mode(current_mode(run), single_key_of(run.found)));

    type(run, c.key);
    EXPECT_TRUE(read_until(run, shown + c.echo));
    EXPECT_EQ(finish(run), 0) << run.seen;
    EXPECT_EQ(run.seen, shown + c.echo);
    EXPECT_TRUE(same_mode(run.left, run.found));

    // Nothing of the key is left for the shell.
    termios raw = run.left;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON);
    tcsetattr(run.slave, TCSANOW, &raw);
    int left_over = -1;
    ioctl(run.slave, FIONREAD, &left_over);
    EXPECT_EQ(left_over, 0);
}

struct signal_case {
    const char* name;
    std::string keys;
    int sig;
    bool ignored;
    bool mode_set_since = false; // as watch puts its own back at Ctrl-C
};

const signal_case signal_cases[] = {
    {"ctrl_c", "\x03", SIGINT, false},
    {"ctrl_backslash", "\x1c", SIGQUIT, false},
    {"kill", "", SIGTERM, false},
    {"hangup", "", SIGHUP, false},
    {"hangup under nohup", "", SIGHUP, true},
    {"processor time limit", "", SIGXCPU, false},
    {"user signal", "", SIGUSR1, false},
    {"a mode set since is kept", "", SIGTERM, false, true},
};

TEST_ROWS(signals, signal_cases);

TEST_P(signals, restore_the_terminal_and_end_by_the_same_signal)
{
    const auto& c = GetParam();
    pty_run run({}, default_mode(), {}, [&] {
        if (c.ignored)
            signal(SIGHUP, SIG_IGN);
    });
    ASSERT_TRUE(wait_for_key_mode(run)) << run.seen;
    termios left_for = run.found;
    if (c.mode_set_since) {
        left_for.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        tcsetattr(run.slave, TCSANOW, &left_for);
    }

    if (c.keys.empty())
        kill(run.prog, c.sig);
    else
        type(run, c.keys);
    if (c.ignored)
        type(run, "k");

    EXPECT_EQ(finish(run), c.ignored ? 0 : 128 + c.sig);
    EXPECT_TRUE(same_mode(run.left, left_for));
}

struct job_case {
    const char* name;
    bool started_in_background; // with `&`, or in a group of its own as under timeout
    int stop; // SIGTSTP is Ctrl-Z typed, SIGSTOP comes as the mode is set, SIGCONT a continue with no stop
    enum : std::uint8_t { fg_and_key, bg_then_fg_and_key, key, terminated, hung_up } then;
    bool typed_meanwhile = false; // a line for the shell while loadhog is in the background
};

const job_case job_cases[] = {
    {"started in the background, then fg", true, 0, job_case::fg_and_key},
    {"started in the background, a line typed, then fg", true, 0, job_case::fg_and_key, true},
    {"in a group of its own, terminated", true, 0, job_case::terminated},
    {"ctrl_z, then fg", false, SIGTSTP, job_case::fg_and_key},
    {"ctrl_z, bg, then fg", false, SIGTSTP, job_case::bg_then_fg_and_key},
    {"ctrl_z, then kill and continue", false, SIGTSTP, job_case::terminated},
    {"sigstop, then fg", false, SIGSTOP, job_case::fg_and_key},
    {"mode changed elsewhere, continued without a stop", false, SIGCONT, job_case::key},
    {"the terminal hangs up", false, 0, job_case::hung_up},
    {"started in the background, the terminal hangs up", true, 0, job_case::hung_up},
};

TEST_ROWS(jobs, job_cases);

// Both share one processor, so each is switched out now and then, as a busy
// thread must be to see that the wait wants the processor.
constexpr int busy = 2;

// Every busy thread gains processor time (an emulator's own threads gain
// little), and the process is not stopped.
bool keeps_its_load(const pty_run& run)
{
    std::map<pid_t, double> before;
    for (const auto& t : threads_of(run.prog))
        before[t.tid] = t.cpu_seconds;
    return eventually([&] {
               int gained = 0;
               for (const auto& t : threads_of(run.prog))
                   gained += t.tid != run.prog && t.cpu_seconds > before[t.tid] + 0.1 ? 1 : 0;
               return gained >= busy;
           }) &&
           run_state(run.prog) != 'T';
}

// Takes the traced `prog` to the return from its first setting of the
// terminal's mode, where a stop lets a shell set its own before loadhog reads
// the mode back; false if it waits for input first.
bool at_return_from_setting_mode(pid_t prog)
{
    bool setting = false;
    ptrace(PTRACE_INTERRUPT, prog, 0, 0);
    for (int status = 0; waitpid(prog, &status, __WALL) == prog && WIFSTOPPED(status);) {
        __ptrace_syscall_info call{};
        if (ptrace(PTRACE_GET_SYSCALL_INFO, prog, sizeof call, &call) > 0) {
            if (setting && call.op == PTRACE_SYSCALL_INFO_EXIT)
                return true;
            if (call.op == PTRACE_SYSCALL_INFO_ENTRY && call.entry.nr == SYS_ppoll)
                return false;
            setting =
                call.op == PTRACE_SYSCALL_INFO_ENTRY && call.entry.nr == SYS_ioctl && call.entry.args[1] == TCSETS;
        }
        const int sig = WSTOPSIG(status) & 0x7f;
        ptrace(PTRACE_SYSCALL, prog, 0, sig == SIGTRAP || status >> 16 != 0 ? 0 : sig);
    }
    return false;
}

// Out of the foreground loadhog keeps its load and leaves the terminal alone;
// in it, it takes single keys in the mode the shell left. A hangup is no key.
TEST_P(jobs, hold_the_load_in_the_background_and_take_a_key_in_the_foreground)
{
    const auto& c = GetParam();
    pty_run run({"-c", std::to_string(busy)}, default_mode(), {}, [&] {
        keep_to_one_processor();
        if (c.started_in_background)
            start_in_background();
        for (int i = 0; c.stop == SIGSTOP && i < 5000 && status_field(getpid(), "TracerPid") == 0; ++i)
            usleep(1000);
    });
    const bool traced = c.stop == SIGSTOP && ptrace(PTRACE_SEIZE, run.prog, 0, PTRACE_O_TRACESYSGOOD) == 0;
    if (traced) {
        ASSERT_TRUE(at_return_from_setting_mode(run.prog));
    }
    if (c.started_in_background) {
        ASSERT_TRUE(read_until(run, "(press any key to stop)\r\n")) << run.seen;
    } else {
        ASSERT_TRUE(wait_for_key_mode(run)) << run.seen;
    }
    if (c.stop == SIGCONT) {
        termios elsewhere = current_mode(run);
        elsewhere.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(run.slave, TCSANOW, &elsewhere);
        kill(run.prog, SIGCONT);
    } else if (c.stop != 0) {
        if (c.stop == SIGTSTP)
            type(run, "\x1a");
        else
            kill(run.prog, c.stop);
        if (traced)
            ptrace(PTRACE_DETACH, run.prog, 0, 0);
        ASSERT_TRUE(eventually([&] { return run_state(run.prog) == 'T' && tcgetpgrp(run.master) == run.shell; }));
        if (c.stop == SIGTSTP) {
            EXPECT_TRUE(same_mode(current_mode(run), run.found));
        }
        // As a shell does, put its own mode back while the job is stopped.
        tcsetattr(run.slave, TCSANOW, &run.found);
    }
    if (c.then == job_case::hung_up) {
        close(run.master); // as when the terminal's window is closed
        run.master = -1;
        EXPECT_TRUE(keeps_its_load(run));
        const int sig = c.started_in_background ? SIGTERM : SIGHUP;
        kill(run.prog, sig);
        EXPECT_EQ(finish(run), 128 + sig) << run.seen;
        return;
    }
    if (c.then == job_case::bg_then_fg_and_key)
        bg(run);
    if (c.typed_meanwhile)
        type(run, "for the shell\n");
    if (c.started_in_background || c.then == job_case::bg_then_fg_and_key) {
        EXPECT_TRUE(keeps_its_load(run));
        EXPECT_TRUE(same_mode(current_mode(run), run.found));
    }
    if (c.typed_meanwhile) { // which the shell reads
        char line[64];
        EXPECT_EQ(read(run.slave, line, sizeof line), 14);
    }

    if (c.then == job_case::terminated) {
        kill(run.prog, SIGTERM);
        kill(run.prog, SIGCONT);
        EXPECT_EQ(finish(run), 128 + SIGTERM) << run.seen;
        EXPECT_TRUE(same_mode(run.left, run.found));
        return;
    }
    // The mode in force when it comes to the foreground is the one to keep.
    termios shells = run.found;
    if (c.then != job_case::key) {
        shells.c_cc[VERASE] = '\b';
        tcsetattr(run.slave, TCSANOW, &shells);
        fg(run);
    }
    ASSERT_TRUE(eventually([&] { return same_mode(current_mode(run), single_key_of(shells)); }));
    EXPECT_TRUE(keeps_its_load(run));
    type(run, "k");
    EXPECT_EQ(finish(run), 0) << run.seen;
    EXPECT_EQ(run.seen.substr(run.seen.size() - 1), "k");
    EXPECT_TRUE(same_mode(run.left, shells));
}

// A key and a stop at nearly the same moment never leave the terminal in
// single-key mode. The race is narrow, so this may miss it.
TEST(stop, racing_the_key_leaves_the_terminal_as_found)
{
    for (int round = 0; round < 200; ++round) {
        pty_run run({}, default_mode());
        ASSERT_TRUE(wait_for_key_mode(run)) << run.seen;
        type(run, "k");
        kill(run.prog, SIGTSTP);
        // Until the shell has the terminal back, a process of several
        // threads may show T before its stop is whole.
        ASSERT_TRUE(eventually([&] {
            const char state = run_state(run.prog);
            return (state == 'T' && tcgetpgrp(run.master) == run.shell) || state == 'Z' || state == '?';
        }));
        fg(run);
        ASSERT_EQ(finish(run), 0) << "round " << round;
        ASSERT_TRUE(same_mode(run.left, run.found)) << "round " << round;
    }
}

struct input_case {
    const char* name;
    std::vector<std::string> args;
    enum : std::uint8_t { terminal, pipe_ab, open_pipe, unreadable } input;
    enum : std::uint8_t { job, pid_1, one_processor } start;
    std::string signal_after; // what the terminal shows before the signal
    std::string keys;         // typed instead of a signal
    int status;
    // In a session of its own (start_in_new_session), the parent maybe sent
    // a signal once loadhog waits.
    std::optional<parent_does> parent = {};
    std::optional<parent_does> shell = {};
    int parent_signal = 0;
    bool typed_at_once = false;    // a line for the shell, typed as soon as the parent has its signal
    const char* through = nullptr; // a shell of its session that runs it as in su -c 'loadhog; echo done'
    bool then_fg = false;          // the stopped parent continued, in the mode applied, as busybox ash gives it back
};

const std::string prompt = "(press any key to stop)\r\n";

// clang-format off
const input_case input_cases[] = {
    {"one byte from a pipe, the rest left", {}, input_case::pipe_ab, input_case::job, "", "", 0},
    {"unreadable input holds until terminated", {}, input_case::unreadable, input_case::job, prompt, "", 128 + SIGTERM},
    {"pid 1, terminated in the wait", {}, input_case::open_pipe, input_case::pid_1, prompt, "", 128 + SIGTERM},
    {"pid 1, terminated in the fill", {"-m", "768"}, input_case::open_pipe, input_case::pid_1, "RAM=805306368\r\n", "", 128 + SIGTERM},
    {"pid 1, ctrl_c on a terminal", {}, input_case::terminal, input_case::pid_1, prompt, "\x03", 128 + SIGINT},
    {"terminated in a one-processor start", {"-c", "3000"}, input_case::open_pipe, input_case::one_processor, "RAM=0\r\nUsing 0 MB of RAM\r\n", "", 128 + SIGTERM},
    {"a terminal lent by a parent waiting in its foreground", {}, input_case::terminal, input_case::job, prompt, "k", 0, parent_does::wait},
    {"lent through a shell of its session, as su -c 'loadhog; echo done'", {}, input_case::terminal, input_case::job, prompt, "k", 0, parent_does::wait, parent_does::wait},
    {"lent through bash", {}, input_case::terminal, input_case::job, prompt, "k", 0, parent_does::wait, {}, 0, false, "bash"},
    {"lent through dash", {}, input_case::terminal, input_case::job, prompt, "k", 0, parent_does::wait, {}, 0, false, "dash"},
    {"lent through zsh", {}, input_case::terminal, input_case::job, prompt, "k", 0, parent_does::wait, {}, 0, false, "zsh"},
    {"lent through fish", {}, input_case::terminal, input_case::job, prompt, "k", 0, parent_does::wait, {}, 0, false, "fish"},
    {"lent through mksh", {}, input_case::terminal, input_case::job, prompt, "k", 0, parent_does::wait, {}, 0, false, "mksh"},
    {"lent through ksh93", {}, input_case::terminal, input_case::job, prompt, "k", 0, parent_does::wait, {}, 0, false, "ksh93"},
    {"lent through tcsh", {}, input_case::terminal, input_case::job, prompt, "k", 0, parent_does::wait, {}, 0, false, "tcsh"},
    {"lent through busybox sh", {}, input_case::terminal, input_case::job, prompt, "k", 0, parent_does::wait, {}, 0, false, "busybox sh"},
    {"lent through a shell by a parent whose wait it cannot see", {}, input_case::terminal, input_case::job, prompt, "k", 0, parent_does::wait_unseen, parent_does::wait},
    {"a terminal not its own, left alone", {}, input_case::terminal, input_case::job, prompt, "", 128 + SIGTERM, parent_does::wait_in_background},
    {"a shell of its session that does not wait for it lends nothing", {}, input_case::terminal, input_case::job, prompt, "", 128 + SIGTERM, parent_does::wait, parent_does::sleep},
    {"a lender killed in the wait, it ends by itself, the mode found put back", {}, input_case::terminal, input_case::job, "", "", 129, parent_does::wait, {}, SIGKILL},
    {"lent through a shell, the lender killed, it ends by itself", {}, input_case::terminal, input_case::job, "", "", 129, parent_does::wait, parent_does::wait, SIGKILL},
    {"a lender stopped, a line typed at once stays for the shell", {}, input_case::terminal, input_case::job, prompt, "", 128 + SIGTERM, parent_does::wait, {}, SIGSTOP, true},
    {"a lender stopped, then fg in the mode applied, the mode found put back", {}, input_case::terminal, input_case::job, prompt, "k", 0, parent_does::wait, {}, SIGSTOP, false, nullptr, true},
    {"a lender whose wait it cannot see, stopped, lends nothing", {}, input_case::terminal, input_case::job, prompt, "", 128 + SIGTERM, parent_does::wait_unseen, {}, SIGSTOP},
    {"a parent asleep in the foreground, then killed, lends nothing", {}, input_case::terminal, input_case::job, prompt, "", 128 + SIGTERM, parent_does::sleep, {}, SIGKILL},
    {"a shell at its prompt that took it in lends nothing", {}, input_case::terminal, input_case::job, prompt, "", 128 + SIGTERM, parent_does::end},
    {"pid 1 at its prompt that took it in, unseen, lends nothing", {}, input_case::terminal, input_case::pid_1, prompt, "", 128 + SIGTERM, parent_does::end_unseen},
};
// clang-format on

TEST_ROWS(input, input_cases);

// Waits until loadhog has gone round its wait twice, so has looked again.
bool looked_again(pid_t loadhog)
{
    const long before = status_field(loadhog, "voluntary_ctxt_switches");
    return eventually([&] { return status_field(loadhog, "voluntary_ctxt_switches") >= before + 2; });
}

TEST_P(input, is_read_one_byte_at_most_and_signals_end_the_run)
{
    const auto& c = GetParam();
    if (c.start == input_case::pid_1 && geteuid() != 0)
        GTEST_SKIP() << "a PID namespace needs root";
    if (c.start == input_case::pid_1 && !c.parent && emulated())
        GTEST_SKIP() << "as PID 1 an emulator acts out the default action of a signal itself, and the kernel drops "
                        "it, so the program never gets to end with 128 + N";
    const bool taken_in = c.start != input_case::pid_1 && (c.parent_signal == SIGKILL || c.parent == parent_does::end ||
                                                           c.parent == parent_does::end_unseen);
    int reaper = 0;
    if (taken_in && prctl(PR_GET_CHILD_SUBREAPER, &reaper) != 0)
        GTEST_SKIP() << "no process can become a subreaper here (qemu-user refuses it), so the shell that should "
                        "take loadhog in never does";
    const std::string shell = c.through != nullptr ? c.through : "";
    if (!shell.empty() && access(("/usr/bin/" + shell.substr(0, shell.find(' '))).c_str(), X_OK) != 0) {
        ASSERT_STRNE(std::getenv("CI"), "true") << shell << " is missing";
        GTEST_SKIP() << shell << " is missing";
    }
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    if (c.input == input_case::pipe_ab) {
        ASSERT_EQ(write(pipe_ends[1], "ab", 2), 2);
    }
    pty_run run(c.args, default_mode(), {}, [&] {
        if (c.input == input_case::unreadable)
            dup2(open("/dev/null", O_WRONLY), 0);
        else if (c.input != input_case::terminal)
            dup2(pipe_ends[0], 0);
        // At the lowest priority, so that a short fill is still on at the signal.
        if (c.start == input_case::pid_1) {
            setpriority(PRIO_PROCESS, 0, 19);
            start_as_pid_1();
        }
        if (c.parent)
            start_in_new_session(*c.parent, c.shell);
        if (!shell.empty()) {
            closefrom(3);
            execlp("sh", "sh", "-c", ("exec " + shell + " -c '" LOADHOG_PATH "; echo done'").c_str(), nullptr);
        }
        if (c.start == input_case::one_processor)
            keep_to_one_processor();
    });
    if (c.input != input_case::open_pipe)
        close(pipe_ends[1]);
    const bool lent =
        (c.parent == parent_does::wait || c.parent == parent_does::wait_unseen) && c.shell != parent_does::sleep;
    const bool key_mode = c.input == input_case::terminal && (!c.parent || lent);
    const bool left_alone = c.parent && (!lent || c.parent_signal == SIGSTOP);
    ASSERT_TRUE(key_mode ? wait_for_key_mode(run) : read_until(run, c.signal_after)) << run.seen;
    const pid_t loadhog = last_descendant(run.prog);
    const pid_t parent = first_child(run.prog);
    // A signal stops a start long before all threads are there.
    const int threads_at_signal = c.start == input_case::one_processor ? 30 + bare_thread_count() : 0;
    if (threads_at_signal > 0) {
        ASSERT_TRUE(eventually([&] { return thread_count(loadhog) >= threads_at_signal; }));
    }
    const std::string line = "echo hello\n";
    const auto left_as_found = [&] { return looked_again(loadhog) && same_mode(current_mode(run), run.found); };
    if (left_alone && !lent) {
        EXPECT_TRUE(left_as_found());
    }
    if (c.parent_signal != 0) {
        ASSERT_GT(parent, 0);
        kill(parent, c.parent_signal);
        ASSERT_TRUE(eventually([&] { return run_state(parent) == (c.parent_signal == SIGSTOP ? 'T' : '?'); }));
    }
    if (c.typed_at_once)
        type(run, line);
    if (left_alone) {
        EXPECT_TRUE(left_as_found());
        type(run, c.typed_at_once || c.then_fg ? "" : line);
        EXPECT_TRUE(looked_again(loadhog));
    }
    if (c.then_fg) {
        const termios applied = single_key_of(run.found);
        tcsetattr(run.slave, TCSANOW, &applied);
        kill(parent, SIGCONT);
    }
    int threads_seen = threads_at_signal;
    if (!c.keys.empty()) {
        type(run, c.keys);
    } else if (!c.signal_after.empty()) {
        threads_seen = std::max(threads_seen, thread_count(loadhog));
        kill(loadhog, SIGTERM);
        if (c.parent_signal == SIGSTOP)
            kill(parent, SIGCONT);
    }
    int most_threads = 0;
    eventually([&] {
        const int threads = thread_count(loadhog);
        most_threads = std::max(most_threads, threads);
        return threads <= 0;
    });

    EXPECT_EQ(finish(run), c.status) << run.seen;
    if (c.signal_after.find(prompt) == std::string::npos && !c.signal_after.empty()) {
        EXPECT_EQ(run.seen, c.signal_after) << "a run ended before its prompt wrote more";
    }
    EXPECT_LT(most_threads, threads_seen + 100);
    EXPECT_TRUE(same_mode(run.left, run.found));
    if (c.input == input_case::pipe_ab) {
        char rest[4] = {};
        EXPECT_EQ(read(pipe_ends[0], rest, sizeof rest), 1);
        EXPECT_EQ(rest[0], 'b');
    }
    if (left_alone && !c.then_fg) {
        int unread = -1;
        ioctl(run.slave, FIONREAD, &unread);
        EXPECT_EQ(unread, static_cast<int>(line.size()));
    }
    close(pipe_ends[0]);
    if (c.input == input_case::open_pipe)
        close(pipe_ends[1]);
}

TEST(type_ahead, a_key_typed_before_the_wait_ends_it_at_once)
{
    pty_run run({}, default_mode(), "k");
    EXPECT_EQ(finish(run), 0) << run.seen;
    EXPECT_TRUE(same_mode(run.left, run.found));
}

} // namespace
