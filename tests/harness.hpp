// SPDX-License-Identifier: MIT
#pragma once

// Runs the built loadhog as a user would: with its input at end of file and
// its output captured, or on a pseudo-terminal under a small job-control shell.

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/types.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

// What a run wrote, and its exit status as a shell shows it (128 + N for
// signal N), or -1 if it did not end in time.
struct outcome {
    std::string out;
    std::string err;
    int status = -1;
};

// Runs loadhog with input from /dev/null, under an address-space limit if one
// is given, and its output captured, or sent to the file `out_path`, or closed
// if that is "-". With `term_at_prompt` its input is a pipe held open, and it
// gets SIGTERM once its output ends with the prompt.
outcome run_loadhog(const std::vector<std::string>& args, rlim_t address_space = RLIM_INFINITY,
                    const std::string& out_path = {}, bool term_at_prompt = false);

// loadhog on a new terminal in `mode`, in the foreground group of a session
// whose leader waits for it as a shell does. `typed_ahead` is typed before it
// starts; `in_child` runs in its process, with the terminal on 0, 1 and 2,
// just before the program starts. It runs as an ordinary user
// (drop_privilege) unless `keep_privilege`. `found` and `left` are the
// terminal's mode before and after the run, `seen` all it has shown. What a
// failed assertion leaves running is killed, so it cannot load later tests.
struct pty_run {
    int master = -1;
    int slave = -1;
    pid_t shell = -1;
    pid_t prog = -1;
    termios found{};
    termios left{};
    std::string seen;

    pty_run(const std::vector<std::string>& args, const termios& mode, std::string_view typed_ahead = {},
            const std::function<void()>& in_child = {}, bool keep_privilege = false);
    pty_run(const pty_run&) = delete;
    pty_run& operator=(const pty_run&) = delete;
    ~pty_run();
};

termios default_mode(); // a new terminal's
termios current_mode(const pty_run& run);
bool same_mode(const termios& a, const termios& b);

// Reads what the terminal shows until `text` has appeared; false on time-out.
bool read_until(pty_run& run, std::string_view text);
// Waits until the prompt is shown and the single-key mode is on.
bool wait_for_key_mode(pty_run& run);
inline void type(const pty_run& run, std::string_view keys) { (void)!write(run.master, keys.data(), keys.size()); }
// Waits for the run to end, notes the mode it left, and returns its status.
int finish(pty_run& run);

// Job control as a shell does it: fg hands the terminal to loadhog's group,
// bg leaves it with the shell; both continue a stopped job, and only that.
inline void fg(const pty_run& run) { kill(run.shell, SIGUSR1); }
inline void bg(const pty_run& run) { kill(run.shell, SIGUSR2); }

// For `in_child`: keeps loadhog to the processor it is on; starts it in the
// background, as `&` does; or as PID 1 of a new PID namespace with a /proc of
// its own, as `unshare --pid --fork --mount-proc` does.
bool keep_to_one_processor();
void start_in_background();
void start_as_pid_1();

// What loadhog's parent does in the terminal's foreground (or, under a shell
// of loadhog's session, that shell's parent): waits for it, as su -c and
// setsid -w do; the same where loadhog may not see the wait, as a user's
// loadhog may not see root's su; waits, but the shell has the foreground;
// sleeps, as a launcher that does not wait; or ends at once, as setsid's own
// parent does from a shell. `end_unseen` also hides the wait of the process
// that takes loadhog in.
enum class parent_does : std::uint8_t { wait, wait_unseen, wait_in_background, sleep, end, end_unseen };

// For `in_child`: starts loadhog in a session of its own, the terminal still
// on its input but no longer its controlling terminal. The job's own process
// stays as an interactive shell that takes in orphans: at its prompt, polling
// the terminal, it reaps what ends, and ends with the status of the last once
// it has no child. Under it a child does as `parent` says; with `shell`, a
// shell of the new session runs loadhog and does as `shell` says. All have an
// ordinary user's rights, as loadhog has.
void start_in_new_session(parent_does parent, std::optional<parent_does> shell = {});

// The threads loadhog shows while it waits with no load: natively one; under
// an emulator (qemu-user) also the emulator's own, which no test counts.
int bare_thread_count();
inline bool emulated() { return bare_thread_count() > 1; }

// Polls `ready` until it holds or a few seconds have passed.
bool eventually(const std::function<bool()>& ready);

// Names a parameterised test's case after its row's `name`.
struct case_name {
    template <typename Info> std::string operator()(const Info& info) const
    {
        std::string name = info.param.name;
        std::ranges::replace_if(
            name, [](unsigned char ch) { return std::isalnum(ch) == 0; }, '_');
        return name;
    }
};

// A parameterised test `suite` over the rows of `table`, of type `row`, each
// case named, and printed in messages, after its row's `name`.
#define TEST_ROWS(suite, row, table)                                                                                   \
    void PrintTo(const row& c, std::ostream* os) { *os << c.name; }                                                    \
    class suite : public testing::TestWithParam<row> {};                                                               \
    INSTANTIATE_TEST_SUITE_P(loadhog, suite, testing::ValuesIn(table), case_name{})
