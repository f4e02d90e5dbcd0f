// SPDX-License-Identifier: MIT
#include "procfs.hpp"

#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <linux/capability.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

std::string proc_file(pid_t pid, const std::string& name)
{
    // Streamed whole, so that a read error (the process ended meanwhile) gives
    // what was read so far, where an iterator would throw.
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + name);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

// The fields of a stat file after the command name, which may hold blanks.
std::vector<std::string> stat_fields(pid_t pid, const std::string& file = "stat")
{
    const std::string stat = proc_file(pid, file);
    std::istringstream rest(stat.substr(stat.rfind(')') + 1));
    return {std::istream_iterator<std::string>(rest), {}};
}

} // namespace

long status_field(pid_t pid, const std::string& field)
{
    const std::string status = proc_file(pid, "status");
    const auto at = status.find("\n" + field + ":");
    return at == std::string::npos ? -1 : std::stol(status.substr(at + field.size() + 2));
}

long resident_kb(pid_t pid) { return status_field(pid, "VmRSS"); }

int thread_count(pid_t pid) { return static_cast<int>(status_field(pid, "Threads")); }

long anon_huge_kb(pid_t pid, const void* address)
{
    std::istringstream smaps(proc_file(pid, "smaps"));
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    std::uintptr_t widest = 0;
    bool chosen = false;
    long huge = -1;
    for (std::string line; std::getline(smaps, line);) {
        std::uintptr_t start = 0;
        std::uintptr_t end = 0;
        char dash = 0;
        if (std::istringstream range(line); range >> std::hex >> start >> dash >> end && dash == '-') {
            chosen = address != nullptr ? start <= at && at < end : end - start > widest;
            widest = address == nullptr && chosen ? end - start : widest;
        } else if (chosen && line.starts_with("AnonHugePages:")) {
            huge = std::stol(line.substr(14));
        }
    }
    return huge;
}

double cpu_seconds(pid_t pid)
{
    const auto f = stat_fields(pid);
    // utime and stime are fields 14 and 15 of the whole line.
    return f.size() < 13 ? 0.0 : (std::stod(f[11]) + std::stod(f[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

char run_state(pid_t pid)
{
    const auto f = stat_fields(pid);
    return f.empty() ? '?' : f[0][0];
}

std::vector<thread_facts> threads_of(pid_t pid)
{
    std::vector<thread_facts> threads;
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    while (const dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
        const std::string task = "task/" + std::string(entry->d_name);
        const std::string status = proc_file(pid, task + "/status");
        const auto blocked = status.find("SigBlk:");
        const auto f = stat_fields(pid, task + "/stat");
        cpu_set_t cpus;
        if (entry->d_name[0] == '.' || blocked == std::string::npos || f.size() < 39 ||
            sched_getaffinity(std::stoi(entry->d_name), sizeof cpus, &cpus) != 0)
            continue;
        // schedstat counts in nanoseconds, where stat's ticks are 10 ms.
        threads.push_back({std::stoi(entry->d_name), cpus, std::stoi(f[16]), std::stoi(f[38]),
                           std::strtod(proc_file(pid, task + "/schedstat").c_str(), nullptr) / 1e9,
                           std::stoull(status.substr(blocked + 7), nullptr, 16), f[0][0]});
    }
    if (dir != nullptr)
        closedir(dir);
    return threads;
}

pid_t first_child(pid_t pid)
{
    const std::string children = proc_file(pid, "task/" + std::to_string(pid) + "/children");
    return children.empty() ? -1 : std::stoi(children);
}

pid_t last_descendant(pid_t pid)
{
    for (pid_t child = first_child(pid); child > 0; child = first_child(pid))
        pid = child;
    return pid;
}

void drop_privilege()
{
    const rlimit none{0, 0};
    setrlimit(RLIMIT_NICE, &none);
    setrlimit(RLIMIT_RTPRIO, &none);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, caps) != 0)
        return;
    for (const int cap : {CAP_SYS_NICE, CAP_SYS_PTRACE}) {
        prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
        auto& c = caps[CAP_TO_INDEX(cap)];
        c.effective &= ~CAP_TO_MASK(cap);
        c.permitted &= ~CAP_TO_MASK(cap);
        c.inheritable &= ~CAP_TO_MASK(cap);
    }
    syscall(SYS_capset, &header, caps);
}
