// Runs a command and reports its peak private memory (anonymous resident pages: heap, stacks,
// written static data, library pages changed by relocation) beside its peak resident set.
// Built and used by scripts/bench:
//
//   peak-memory OUTPUT COMMAND [ARG...]
//
// writes "peak_private_kib N" and "peak_rss_kib N" to OUTPUT and exits with the command's status.
//
// The kernel keeps a high-water mark for the resident set only. Anonymous memory grows through
// page faults, which need no system call, but it only shrinks through one (munmap, brk, madvise,
// mremap, mmap over an existing mapping, exit). Sampling it under ptrace at the entry of each of
// those calls, and when each thread exits, therefore finds the true peak however short the run;
// sampling on a timer would miss a run of a few milliseconds entirely.
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>

namespace {

// The value of a "Key:   N kB" line of a /proc file, or -1.
long read_kib(const std::string& path, const char* key) {
    std::ifstream in(path);
    std::string line;
    const std::size_t length = std::strlen(key);
    while (std::getline(in, line)) {
        if (line.compare(0, length, key) == 0) {
            return std::stol(line.substr(length));
        }
    }
    return -1;
}

bool may_release_memory(unsigned long long call) {
    switch (call) {
        case SYS_munmap:
        case SYS_brk:
        case SYS_madvise:
        case SYS_process_madvise:
        case SYS_mremap:
        case SYS_mmap:
        case SYS_shmdt:
        case SYS_execve:
        case SYS_execveat:
        case SYS_exit:
        case SYS_exit_group:
            return true;
        default:
            return false;
    }
}

struct Peak {
    long private_kib = -1;
    long rss_kib = -1;

    // The thread is stopped; its process's memory is still all there.
    void sample(pid_t thread) {
        const std::string dir = "/proc/" + std::to_string(thread);
        private_kib = std::max(private_kib, read_kib(dir + "/smaps_rollup", "Anonymous:"));
        // VmHWM is the kernel's own high-water mark of the resident set.
        rss_kib = std::max(rss_kib, read_kib(dir + "/status", "VmHWM:"));
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: peak-memory OUTPUT COMMAND [ARG...]\n");
        return 2;
    }
    const pid_t child = fork();
    if (child < 0) {
        std::perror("peak-memory: fork");
        return 2;
    }
    if (child == 0) {
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        raise(SIGSTOP);
        execvp(argv[2], argv + 2);
        std::perror(argv[2]);
        _exit(127);
    }

    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFSTOPPED(status)) {
        std::fprintf(stderr, "peak-memory: the command did not stop for tracing\n");
        return 2;
    }
    const long options = PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACECLONE | PTRACE_O_TRACEEXEC |
                         PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL;
    if (ptrace(PTRACE_SETOPTIONS, child, nullptr, options) != 0 ||
        ptrace(PTRACE_SYSCALL, child, nullptr, 0) != 0) {
        std::perror("peak-memory: ptrace");
        return 2;
    }

    Peak peak;
    // Until the command is executed, the traced process is a copy of this one.
    bool executed = false;
    std::set<pid_t> threads{child};
    int result = 2;
    for (;;) {
        const pid_t thread = waitpid(-1, &status, __WALL);
        if (thread < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;  // ECHILD: every traced thread has been reaped.
        }
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            if (thread == child) {
                result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            threads.erase(thread);
            continue;
        }
        if (!WIFSTOPPED(status)) {
            continue;
        }
        const int signal = WSTOPSIG(status);
        const int event = status >> 16;
        int deliver = 0;
        if (signal == (SIGTRAP | 0x80)) {
            __ptrace_syscall_info info{};
            if (executed && ptrace(PTRACE_GET_SYSCALL_INFO, thread, sizeof info, &info) > 0 &&
                info.op == PTRACE_SYSCALL_INFO_ENTRY && may_release_memory(info.entry.nr)) {
                peak.sample(thread);
            }
        } else if (signal == SIGTRAP && event != 0) {
            if (event == PTRACE_EVENT_EXEC) {
                executed = true;
            } else if (event == PTRACE_EVENT_EXIT && executed) {
                peak.sample(thread);
            }
        } else if (signal == SIGSTOP && threads.insert(thread).second) {
            // A new thread's first stop, made by the tracing itself.
        } else {
            siginfo_t info;
            // No signal information: a group stop, not a signal to pass on.
            if (ptrace(PTRACE_GETSIGINFO, thread, nullptr, &info) == 0) {
                deliver = signal;
            }
        }
        ptrace(PTRACE_SYSCALL, thread, nullptr, deliver);
    }

    if (peak.private_kib < 0) {
        std::fprintf(stderr, "peak-memory: no measurement of %s\n", argv[2]);
        return result == 0 ? 2 : result;
    }
    std::FILE* out = std::fopen(argv[1], "w");
    if (out == nullptr ||
        std::fprintf(out, "peak_private_kib %ld\npeak_rss_kib %ld\n", peak.private_kib,
                     peak.rss_kib) < 0 ||
        std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 2;
    }
    return result;
}
