// SPDX-License-Identifier: MIT
#pragma once

// Runs the built loadhog as a user would: with its input at end of file and
// its output captured, or on a pseudo-terminal under a small job-control shell.

#include <cctype>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/types.h>
#include <termios.h>
#include <vector>

// Exit status of a finished run: the exit code, or 128 + the signal that
// ended it (as a shell shows it), or -1 if it did not end in time.
struct outcome {
    std::string out;
    std::string err;
    int status = -1;
};

// Runs loadhog with standard input from /dev/null, under an address-space
// limit when one is given, and its standard output captured, or sent to the
// file `out_path`, or closed when that is "-". With `term_at_prompt`, standard
// input is a pipe held open instead, and loadhog gets SIGTERM as soon as the
// captured output ends with the prompt line.
outcome run_loadhog(const std::vector<std::string>& args, rlim_t address_space = RLIM_INFINITY,
                    const std::string& out_path = {}, bool term_at_prompt = false);

// loadhog on a new terminal whose mode is `mode`, in the foreground process
// group of a session whose leader waits for it the way a shell does.
// `typed_ahead` is typed before loadhog starts; `in_child` runs in loadhog's
// process, with the terminal on 0, 1 and 2, just before the program starts
// (to ignore a signal, say, as nohup does, or to give it other input). It
// runs with an ordinary user's rights (drop_privilege), unless
// `keep_privilege`.
// `found` is the terminal's mode before the run, `left` its mode after the
// run, `seen` all the terminal has shown so far. A run that a failed
// assertion abandons is killed, so it cannot load later tests.
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

// The terminal mode of a new terminal, before any change.
termios default_mode();

// Reads what the terminal shows until `text` has appeared; false on time-out.
bool read_until(pty_run& run, std::string_view text);

// Waits until the prompt is shown and the single-key mode is on.
bool wait_for_key_mode(pty_run& run);

termios current_mode(const pty_run& run);
bool single_key_mode(const pty_run& run);
bool same_mode(const termios& a, const termios& b);

void type(const pty_run& run, std::string_view keys);

// Waits for the run to end, notes the mode it left the terminal in, and
// returns its status as outcome::status does.
int finish(pty_run& run);

// Closes the terminal's master side, as closing a terminal window does: the
// terminal hangs up.
void hang_up(pty_run& run);

// Job control as a shell does it: fg hands the terminal to loadhog's group,
// bg leaves it with the shell; both continue a stopped job, and only that.
void fg(const pty_run& run);
void bg(const pty_run& run);

// For `in_child`: starts loadhog in the background, as `&` does; or as
// PID 1 of a new PID namespace with a /proc of its own, as
// `unshare --pid --fork --mount-proc` does. A parent that waits ignores the
// keys that signal the group.
void start_in_background();
void start_as_pid_1();

// What loadhog's parent does in the terminal's foreground, or, under a shell
// of loadhog's session, that shell's parent: waits for it, as su -c and
// setsid -w do; the same where loadhog may not see the wait, as a user's
// loadhog may not see root's su; waits, but the shell has the foreground;
// sleeps, as a launcher that does not wait; or ends at once, as setsid's own
// parent does from a shell. `end_unseen` also hides the wait of the process
// that takes loadhog in.
enum class parent_does : std::uint8_t { wait, wait_unseen, wait_in_background, sleep, end, end_unseen };

// For `in_child`: starts loadhog in a session of its own, with the terminal
// still on its standard input but no longer its controlling terminal. The
// job's own process stays as an interactive shell that takes in orphans
// (PID 1, or a subreaper): at its prompt, polling the terminal, it reaps what
// ends, and ends with the status of the last once it has no child. Under it
// a child does as `parent` says. With `shell`, a shell of the new session
// runs loadhog and waits for it, as in su -c 'loadhog; echo done', or sleeps.
// All of them have an ordinary user's rights, as loadhog has.
void start_in_new_session(parent_does parent, std::optional<parent_does> shell = {});

// The threads loadhog shows while it waits with no load at all: natively
// one; under an emulator (qemu-user) also the emulator's own, which no test
// counts as load.
int bare_thread_count();
inline bool emulated() { return bare_thread_count() > 1; }

// Polls `ready` until it holds or a few seconds have passed.
bool eventually(const std::function<bool()>& ready);

// Names each case of a parameterised test after its `name`.
struct case_name {
    template <typename Info> std::string operator()(const Info& info) const
    {
        std::string name = info.param.name;
        for (char& ch : name)
            ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        return name;
    }
};
