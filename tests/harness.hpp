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
#include <type_traits>
#include <unistd.h>
#include <vector>

// What a run wrote, and its status as a shell shows it, or -1 if it hung.
struct outcome {
    std::string out;
    std::string err;
    int status = -1;
};

// Runs loadhog with input from /dev/null and output captured, or sent to the
// file `out_path` ("-": closed). With `term_at_prompt` its input is a pipe held
// open, and it gets SIGTERM once its output ends with the prompt.
outcome run_loadhog(const std::vector<std::string>& args, rlim_t address_space = RLIM_INFINITY,
                    const std::string& out_path = {}, bool term_at_prompt = false);

// loadhog as a foreground job on a new terminal in `mode`, under a shell.
// `in_child` runs in its process, with the terminal on 0, 1 and 2, just before
// it starts as an ordinary user (unless `keep_privilege`). `found` and `left`
// are the terminal's mode before and after, `seen` all it has shown. What a
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

// Job control: both continue a stopped job; fg gives loadhog the terminal.
inline void fg(const pty_run& run) { kill(run.shell, SIGUSR1); }
inline void bg(const pty_run& run) { kill(run.shell, SIGUSR2); }

// For `in_child`: keeps loadhog to the processor it is on; starts it in the
// background, as `&`; or as PID 1, as `unshare --pid --fork --mount-proc`.
bool keep_to_one_processor();
void start_in_background();
void start_as_pid_1();

// What loadhog's parent in the foreground does: waits, as su -c and setsid -w
// do; waits where loadhog may not see it, as root's su for a user's loadhog;
// waits, the shell in the foreground; sleeps, as a launcher; or ends at once,
// as setsid's parent from a shell (`end_unseen` hides the adopter's wait too).
enum class parent_does : std::uint8_t { wait, wait_unseen, wait_in_background, sleep, end, end_unseen };

// For `in_child`: starts loadhog in a session of its own, the terminal still
// its input but not its controlling terminal, under an interactive shell that
// takes in orphans and a parent that does as `parent` says; with `shell`, a
// shell of the new session between them does as `shell` says. All run as an
// ordinary user.
void start_in_new_session(parent_does parent, std::optional<parent_does> shell = {});

// The threads of loadhog waiting with no load: one, or more under an emulator.
int bare_thread_count();
inline bool emulated() { return bare_thread_count() > 1; }

// Polls `ready` until it holds or a few seconds have passed.
bool eventually(const std::function<bool()>& ready);

// Names a parameterised test's case after its row's `name`.
struct case_name {
    template <typename Info> std::string operator()(const Info& info) const
    {
        std::string name = info.param.name;
        for (char& ch : name)
            if (std::isalnum(static_cast<unsigned char>(ch)) == 0)
                ch = '_';
        return name;
    }
};

// A parameterised test `suite` over the rows of `table`, each case named, and
// printed in messages, after its row's `name`.
// NOLINTBEGIN(bugprone-macro-parentheses): `suite` names a class
#define TEST_ROWS(suite, table)                                                                                        \
    class suite : public testing::TestWithParam<std::remove_cvref_t<decltype(*(table))>> {};                           \
    void PrintTo(const suite::ParamType& c, std::ostream* os) { *os << c.name; }                                       \
    INSTANTIATE_TEST_SUITE_P(loadhog, suite, testing::ValuesIn(table), case_name{})
// NOLINTEND(bugprone-macro-parentheses)
