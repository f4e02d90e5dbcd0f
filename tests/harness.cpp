// SPDX-License-Identifier: MIT
#include "harness.hpp"
#include "procfs.hpp"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>

namespace {

using clock_type = std::chrono::steady_clock;
constexpr auto patience = std::chrono::seconds(20);

// loadhog must work for an ordinary user, and CI runs the tests as root.
[[noreturn]] void exec_loadhog(const std::vector<std::string>& args, bool keep_privilege = false)
{
    if (!keep_privilege)
        drop_privilege();
    std::vector<char*> argv{const_cast<char*>(LOADHOG_PATH)};
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    execv(argv[0], argv.data());
    _exit(127);
}

int shell_status(int wait_status)
{
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
}

int wait_until_gone(pid_t pid)
{
    int status = 0;
    if (!eventually([&] { return waitpid(pid, &status, WNOHANG) != 0; })) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return shell_status(status);
}

// Appends what `fd` has to `to`, waiting at most `ms`; false once it is closed.
bool read_some(int fd, std::string& to, int ms)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0)
        return true;
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0)
        return n < 0 && errno == EINTR;
    to.append(buf, static_cast<std::size_t>(n));
    return true;
}

// How a process stays until it has no child left, reaping what ends: waiting,
// as unshare --fork and su -c do; polling the terminal (input ends the polling,
// unread) as a shell at its prompt; or asleep. It ends with the last status.
enum class stays : std::uint8_t { waiting, at_prompt, asleep };

void on_child_ended(int /*unused*/) {}

// Forks: the child goes on towards loadhog; this process stays as `how` says,
// deaf to the group's keys. loadhog may not trace an `unseen` one (it cannot
// dump core), so finds its wait as 0 in /proc/PID/wchan.
void fork_and_stay(stays how, bool unseen = false)
{
    if (how == stays::at_prompt)
        prctl(PR_SET_CHILD_SUBREAPER, 1);
    sigset_t child_ended;
    sigemptyset(&child_ended);
    sigaddset(&child_ended, SIGCHLD);
    sigset_t before;
    sigprocmask(SIG_BLOCK, &child_ended, &before);
    if (fork() == 0) {
        sigprocmask(SIG_SETMASK, &before, nullptr);
        return;
    }
    if (unseen)
        prctl(PR_SET_DUMPABLE, 0);
    struct sigaction on_child = {};
    on_child.sa_handler = on_child_ended;
    sigaction(SIGCHLD, &on_child, nullptr);
    sigdelset(&before, SIGCHLD);
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    closefrom(3);
    pollfd terminal{STDIN_FILENO, POLLIN, 0};
    nfds_t polled = how == stays::at_prompt ? 1 : 0;
    for (int last = 0;;) {
        if (how != stays::waiting && ppoll(&terminal, polled, nullptr, &before) > 0)
            polled = 0;
        pid_t ended = 0;
        for (int status = 0; (ended = waitpid(-1, &status, how == stays::waiting ? 0 : WNOHANG)) > 0;)
            last = status;
        if (ended < 0)
            _exit(shell_status(last));
    }
}

} // namespace

outcome run_loadhog(const std::vector<std::string>& args, rlim_t address_space, const std::string& out_path,
                    bool term_at_prompt)
{
    int in[2];
    int out[2];
    int err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit as{address_space, address_space};
        const rlimit stack{8 << 20, 8 << 20};
        setrlimit(RLIMIT_AS, &as);
        setrlimit(RLIMIT_STACK, &stack);
        dup2(term_at_prompt ? in[0] : open("/dev/null", O_RDONLY), 0);
        dup2(out[1], 1);
        if (out_path == "-")
            close(1);
        else if (!out_path.empty())
            dup2(open(out_path.c_str(), O_WRONLY), 1);
        dup2(err[1], 2);
        closefrom(3);
        exec_loadhog(args);
    }
    for (const int fd : {in[0], out[1], err[1]})
        close(fd);
    outcome result;
    const auto give_up = clock_type::now() + patience;
    for (bool out_open = true, err_open = true; (out_open || err_open) && clock_type::now() < give_up;) {
        out_open = out_open && read_some(out[0], result.out, 10);
        err_open = err_open && read_some(err[0], result.err, 10);
        if (term_at_prompt && result.out.ends_with("(press any key to stop)\n")) {
            kill(pid, SIGTERM);
            term_at_prompt = false;
        }
    }
    for (const int fd : {in[1], out[0], err[0]})
        close(fd);
    result.status = wait_until_gone(pid);
    return result;
}

termios default_mode()
{
    int master;
    int slave;
    termios mode{};
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) == 0) {
        tcgetattr(slave, &mode);
        close(master);
        close(slave);
    }
    return mode;
}

pty_run::pty_run(const std::vector<std::string>& args, const termios& mode, std::string_view typed_ahead,
                 const std::function<void()>& in_child, bool keep_privilege)
{
    winsize size{24, 80, 0, 0};
    int report[2];
    if (openpty(&master, &slave, nullptr, &mode, &size) != 0 || pipe(report) != 0)
        return;
    tcgetattr(slave, &found);
    type(*this, typed_ahead);

    shell = fork();
    if (shell == 0) {
        // The shell: takes the terminal back when the job stops; SIGUSR1 is
        // fg, SIGUSR2 bg.
        close(master);
        close(report[0]);
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        sigset_t events;
        sigemptyset(&events);
        for (const int sig : {SIGCHLD, SIGUSR1, SIGUSR2})
            sigaddset(&events, sig);
        sigprocmask(SIG_BLOCK, &events, nullptr);
        const pid_t job = fork();
        if (job == 0) {
            sigprocmask(SIG_UNBLOCK, &events, nullptr);
            setpgid(0, 0);
            signal(SIGTTOU, SIG_IGN);
            tcsetpgrp(slave, getpid());
            signal(SIGTTOU, SIG_DFL);
            for (const int fd : {0, 1, 2})
                dup2(slave, fd);
            if (in_child)
                in_child();
            closefrom(3);
            exec_loadhog(args, keep_privilege);
        }
        setpgid(job, job);
        signal(SIGTTOU, SIG_IGN);
        // Its job's status, not a hangup's, is the one the shell ends with.
        signal(SIGHUP, SIG_IGN);
        if (write(report[1], &job, sizeof job) != sizeof job)
            _exit(126);
        bool stopped = false;
        for (int event = 0;; sigwait(&events, &event)) {
            for (int status = 0; waitpid(job, &status, WNOHANG | WUNTRACED | WCONTINUED) > 0;) {
                if (WIFSTOPPED(status))
                    tcsetpgrp(slave, getpgrp());
                else if (!WIFCONTINUED(status))
                    _exit(shell_status(status));
                stopped = WIFSTOPPED(status);
            }
            if (event == SIGUSR1)
                tcsetpgrp(slave, job);
            if ((event == SIGUSR1 || event == SIGUSR2) && stopped)
                kill(-job, SIGCONT);
        }
    }
    close(report[1]);
    if (read(report[0], &prog, sizeof prog) != sizeof prog)
        prog = -1;
    close(report[0]);
}

pty_run::~pty_run()
{
    if (shell > 0) {
        // And a PID 1 under it, or a loadhog in a session of its own.
        if (prog > 0) {
            kill(last_descendant(prog), SIGKILL);
            kill(-prog, SIGKILL);
        }
        kill(shell, SIGKILL);
        waitpid(shell, nullptr, 0);
    }
    for (const int fd : {master, slave})
        if (fd >= 0)
            close(fd);
}

bool read_until(pty_run& run, std::string_view text)
{
    const auto shown = [&] { return run.seen.find(text) != std::string::npos; };
    return eventually([&] { return shown() || !read_some(run.master, run.seen, 10); }) && shown();
}

bool wait_for_key_mode(pty_run& run)
{
    return read_until(run, "(press any key to stop)\r\n") &&
           eventually([&] { return (current_mode(run).c_lflag & ICANON) == 0; });
}

termios current_mode(const pty_run& run)
{
    termios mode{};
    tcgetattr(run.slave, &mode);
    return mode;
}

bool same_mode(const termios& a, const termios& b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b);
}

int finish(pty_run& run)
{
    const int status = wait_until_gone(run.shell);
    run.shell = -1;
    if (status < 0 && run.prog > 0)
        kill(-run.prog, SIGKILL);
    for (pollfd p{run.master, POLLIN, 0}; poll(&p, 1, 0) > 0 && read_some(run.master, run.seen, 0);) {
    }
    run.left = current_mode(run);
    return status;
}

bool keep_to_one_processor()
{
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    return sched_setaffinity(0, sizeof one, &one) == 0;
}

void start_in_background()
{
    signal(SIGTTOU, SIG_IGN);
    tcsetpgrp(STDIN_FILENO, getsid(0));
    signal(SIGTTOU, SIG_DFL);
}

void start_as_pid_1()
{
    if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0)
        _exit(125);
    fork_and_stay(stays::waiting);
    // Only /proc is made private: in a chroot "/" may be no mount point.
    if (mount(nullptr, "/proc", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
        _exit(125);
}

void start_in_new_session(parent_does parent, std::optional<parent_does> shell)
{
    // The kernel lets a process see another's wait only if it has every
    // right the other has.
    drop_privilege();
    if (parent == parent_does::wait_in_background)
        start_in_background();
    fork_and_stay(stays::at_prompt, parent == parent_does::end_unseen);
    const pid_t own = getpid();
    if (parent == parent_does::end || parent == parent_does::end_unseen) {
        if (fork() != 0)
            _exit(0);
        // loadhog starts once it is taken in, and its parent reaped, so
        // that the shell is back at its prompt.
        eventually([&] { return kill(own, 0) != 0 && run_state(getppid()) == 'S'; });
    } else {
        fork_and_stay(parent == parent_does::sleep ? stays::asleep : stays::waiting,
                      parent == parent_does::wait_unseen);
    }
    setsid();
    if (shell)
        fork_and_stay(shell == parent_does::sleep ? stays::asleep : stays::waiting);
}

int bare_thread_count()
{
    static const int measured = [] {
        pty_run run({}, default_mode());
        const int threads = wait_for_key_mode(run) ? thread_count(run.prog) : 1;
        type(run, "k");
        finish(run);
        return threads;
    }();
    return measured;
}

bool eventually(const std::function<bool()>& ready)
{
    const auto give_up = clock_type::now() + patience;
    while (!ready()) {
        if (clock_type::now() > give_up)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
