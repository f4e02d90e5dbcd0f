// SPDX-License-Identifier: MIT
#include "lender.hpp"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

struct process {
    long pid;
    char state;
    long ppid;
    long pgrp;
    long session;
    long tty_nr;
    long tpgid;
};

enum class waiting : std::uint8_t { for_child, for_child_end, for_other, unknown };

bool read_proc(long pid, const char* name, char* text, std::size_t size)
{
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%ld/%s", pid, name);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const ssize_t length = read(fd, text, size - 1);
    close(fd);
    if (length <= 0)
        return false;
    text[length] = '\0';
    return true;
}

bool read_process(long pid, process& p)
{
    char stat[512];
    if (!read_proc(pid, "stat", stat, sizeof stat))
        return false;
    // The name in parentheses may hold anything.
    char* field = std::strrchr(stat, ')');
    if (field == nullptr || std::strlen(field) < 4)
        return false;
    p.pid = pid;
    p.state = field[2];
    field += 4;
    for (long* number : {&p.ppid, &p.pgrp, &p.session, &p.tty_nr, &p.tpgid})
        *number = std::strtol(field, &field, 10);
    return true;
}

bool catches_child_end(long pid)
{
    char status[4096];
    const char* caught = read_proc(pid, "status", status, sizeof status) ? std::strstr(status, "\nSigCgt:") : nullptr;
    return caught != nullptr && ((std::strtoull(caught + 8, nullptr, 16) >> (SIGCHLD - 1)) & 1U) != 0;
}

// wchan shows 0 to a reader not allowed to trace the process. The names of
// the sigsuspend and futex waits vary between kernels, hence the parts.
waiting how_it_waits(const process& p)
{
    if (p.state != 'S')
        return waiting::for_other;
    char wchan[64];
    if (!read_proc(p.pid, "wchan", wchan, sizeof wchan) || std::strcmp(wchan, "0") == 0)
        return waiting::unknown;
    if (std::strcmp(wchan, "do_wait") == 0)
        return waiting::for_child;
    return (std::strstr(wchan, "sigsuspend") != nullptr || std::strstr(wchan, "futex") != nullptr) &&
                   catches_child_end(p.pid)
               ? waiting::for_child_end
               : waiting::for_other;
}

bool in_foreground_of(const process& p, dev_t terminal)
{
    const auto tty = static_cast<unsigned long>(p.tty_nr);
    const dev_t device = makedev((tty >> 8) & 0xfff, (tty & 0xff) | ((tty >> 12) & 0xfff00));
    return device == terminal && p.tpgid == p.pgrp;
}

// /proc numbers processes for the PID namespace it was mounted for, which may
// not be this process's (unshare --pid without a /proc of its own).
bool proc_is_of_own_namespace()
{
    char self[24] = {};
    const ssize_t length = readlink("/proc/self", self, sizeof self - 1);
    return length > 0 && std::strtol(self, nullptr, 10) == getpid();
}

} // namespace

long terminal_lender()
{
    struct stat terminal = {};
    if (fstat(STDIN_FILENO, &terminal) != 0 || fcntl(STDOUT_FILENO, F_GETFD) < 0 || fcntl(STDERR_FILENO, F_GETFD) < 0 ||
        !proc_is_of_own_namespace())
        return 0;
    // Not from /proc/self/stat, which an emulator (qemu-user) makes up.
    const long session = getsid(0);
    process p{};
    p.ppid = getppid();
    // Bounded: numbers of processes ended during the walk may be reused.
    for (int step = 0; step < 64 && p.ppid > 0 && read_process(p.ppid, p); ++step) {
        const waiting how = how_it_waits(p);
        // The lender itself is held to do_wait, as su and setsid -w wait: a
        // looser rule would risk taking one that waits for something else.
        if (p.session != session)
            return in_foreground_of(p, terminal.st_rdev) &&
                           (how == waiting::for_child || (how == waiting::unknown && p.pid != 1))
                       ? p.pid
                       : 0;
        if (how != waiting::for_child && how != waiting::for_child_end)
            return 0;
    }
    return 0;
}

// A number reused meanwhile cannot become an ancestor: a process is only ever
// taken in by one that was there before.
bool lender_ended(long lender)
{
    process p{};
    p.ppid = getppid();
    for (int step = 0; step < 64 && p.ppid > 0; ++step) {
        if (p.ppid == lender)
            return false;
        if (!read_process(p.ppid, p))
            break;
    }
    return true;
}
