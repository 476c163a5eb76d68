#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <filesystem>

#include "files_posix.h"
#include "launch.h"

namespace {

// Makes every descriptor the updater holds (the log file included) close on exec.
void close_inherited_descriptors() {
    if (close_range(3, UINT_MAX, CLOSE_RANGE_CLOEXEC) == 0) {
        return;
    }
    const long max = sysconf(_SC_OPEN_MAX);
    for (int fd = 3; fd < (max > 0 ? max : 1024); ++fd) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
}

void redirect_standard_streams() {
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        if (null > 2) {
            close(null);
        }
    }
}

// The updater ignores SIGPIPE while it writes progress, and an ignored signal stays ignored across
// exec: the program it starts gets the default back.
void restore_default_signals() {
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    sigaction(SIGPIPE, &standard, nullptr);
}

// Sends the errno of a failed start to the updater and ends the child that failed.
[[noreturn]] void report_start_failure(int error_fd, int error) {
    (void)!write(error_fd, &error, sizeof error);
    _exit(127);
}

// Runs in the grandchild: never returns. A failure is sent to the updater as its errno.
[[noreturn]] void exec_program(const std::string& program, std::vector<std::string>& args,
                               const std::optional<std::string>& working_dir, int error_fd) {
    int error = 0;
    if (working_dir && chdir(working_dir->c_str()) != 0) {
        error = errno;
    } else {
        // A program started after the updater stopped collecting its children must still be
        // able to wait for its own.
        signal(SIGCHLD, SIG_DFL);
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        redirect_standard_streams();
        close_inherited_descriptors();
        restore_default_signals();
        execv(program.c_str(), argv.data());
        error = errno;
    }
    report_start_failure(error_fd, error);
}

// Where CreateProcessA finds a program: a bare name first in the updater's own directory, then in
// the current one (Windows would go on to its system directories and PATH, which hold nothing of
// the application's); a name with a directory part from the current directory. Never from the
// working directory the program is started in.
std::string program_path(const std::string& name) {
    const std::filesystem::path program(name);
    std::error_code ec;
    if (!program.has_parent_path()) {
        const std::filesystem::path own =
            std::filesystem::read_symlink("/proc/self/exe", ec).parent_path() / program;
        if (!ec && access(own.c_str(), X_OK) == 0) {
            return own.string();
        }
    }
    return std::filesystem::absolute(program, ec).string();
}

// The errno the started child sent through the pipe, once exec closed the write end (0 when it
// succeeded).
int start_failure(UniqueFd& read_end) {
    int error = 0;
    ssize_t n;
    while ((n = read(read_end.get(), &error, sizeof error)) < 0 && errno == EINTR) {
    }
    return n == static_cast<ssize_t>(sizeof error) ? error : 0;
}

void reap(pid_t pid, int* status) {
    while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
}

// What a start needs before it forks: the program and its arguments, split from the command line
// as Windows would split it, and a pipe whose write end reports a failed exec (a successful one
// closes it unwritten).
struct StartPlan {
    std::vector<std::string> args;
    std::string program;
    UniqueFd read_end;
    UniqueFd write_end;
};

NativeError plan_start(const std::string& command_line, StartPlan& plan) {
    plan.args = split_command_line(command_line);
    if (plan.args.empty() || plan.args[0].empty()) {
        return NativeError(ENOENT);
    }
    plan.program = program_path(plan.args[0]);
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        return last_error();
    }
    plan.read_end.reset(pipe_fds[0]);
    plan.write_end.reset(pipe_fds[1]);
    return {};
}

}  // namespace

NativeError start_detached(const std::string& command_line,
                           const std::optional<std::string>& working_dir) {
    StartPlan plan;
    if (const NativeError error = plan_start(command_line, plan); error.failed()) {
        return error;
    }

    // Double fork: the intermediate child exits at once, so the started program is adopted by
    // init and never becomes a zombie of the updater; setsid detaches it from our session.
    const pid_t child = fork();
    if (child < 0) {
        return last_error();
    }
    if (child == 0) {
        setsid();
        const pid_t grandchild = fork();
        if (grandchild == 0) {
            exec_program(plan.program, plan.args, working_dir, plan.write_end.get());
        }
        if (grandchild < 0) {
            report_start_failure(plan.write_end.get(), errno);
        }
        _exit(0);
    }
    reap(child, nullptr);
    plan.write_end.reset();
    const int error = start_failure(plan.read_end);
    return error != 0 ? NativeError(static_cast<unsigned long>(error)) : NativeError();
}

// The watched program is the updater's own child while it is watched (only a parent learns the
// exit code). Once the updater lets it go still running, children are no longer kept as zombies:
// it is then collected by the system as soon as it ends, and adopted by init if the updater ends
// first.
struct WatchedProcess::Native {
    pid_t pid = -1;
    UniqueFd pidfd;
    bool collected = true;
};

WatchedProcess::WatchedProcess() : native_(std::make_unique<Native>()) {}

WatchedProcess::~WatchedProcess() {
    if (native_->collected) {
        return;
    }
    static_cast<void>(exit_code_within(0));
    if (!native_->collected) {
        signal(SIGCHLD, SIG_IGN);
        // It may have ended between the look above and the change.
        static_cast<void>(waitpid(native_->pid, nullptr, WNOHANG));
    }
}

NativeError WatchedProcess::start(const std::string& command_line,
                                  const std::optional<std::string>& working_dir) {
    StartPlan plan;
    if (const NativeError error = plan_start(command_line, plan); error.failed()) {
        return error;
    }
    const pid_t child = fork();
    if (child < 0) {
        return last_error();
    }
    if (child == 0) {
        setsid();
        exec_program(plan.program, plan.args, working_dir, plan.write_end.get());
    }
    plan.write_end.reset();
    if (const int error = start_failure(plan.read_end); error != 0) {
        reap(child, nullptr);
        return NativeError(static_cast<unsigned long>(error));
    }
    native_->pid = child;
    native_->pidfd.reset(static_cast<int>(syscall(SYS_pidfd_open, child, 0)));
    native_->collected = false;
    return {};
}

std::optional<std::int64_t> WatchedProcess::exit_code_within(int timeout_ms) {
    if (native_->collected) {
        return std::nullopt;
    }
    if (native_->pidfd.valid()) {
        pollfd ready{native_->pidfd.get(), POLLIN, 0};
        int result;
        while ((result = poll(&ready, 1, timeout_ms)) < 0 && errno == EINTR) {
        }
        if (result == 0) {
            return std::nullopt;
        }
    } else if (timeout_ms > 0) {
        // Without a pidfd (an older kernel) the wait is one look after the time.
        usleep(static_cast<useconds_t>(timeout_ms) * 1000);
    }
    int status = 0;
    pid_t ended;
    while ((ended = waitpid(native_->pid, &status, native_->pidfd.valid() ? 0 : WNOHANG)) < 0 &&
           errno == EINTR) {
    }
    if (ended == 0) {
        return std::nullopt;
    }
    native_->collected = true;
    native_->pidfd.reset();
    if (ended < 0) {
        return std::int64_t{1};
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void WatchedProcess::terminate() {
    if (!native_->collected) {
        kill(native_->pid, SIGKILL);
    }
}

long WatchedProcess::pid() const {
    return static_cast<long>(native_->pid);
}

std::filesystem::path startable_path(const std::filesystem::path& path) {
    return path;
}
