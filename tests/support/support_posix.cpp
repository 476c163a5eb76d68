#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "native_posix.h"
#include "support.h"

namespace support {

namespace {

fs::path build_root() {
    // Test executables live in <build>/tests.
    return fs::read_symlink("/proc/self/exe").parent_path().parent_path();
}

std::vector<char*> make_argv(const fs::path& exe, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(exe.c_str()));
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    return argv;
}

[[noreturn]] void exec_child(const fs::path& exe, std::vector<char*>& argv, const fs::path& cwd) {
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) {
        _exit(127);
    }
    execv(exe.c_str(), argv.data());
    _exit(127);
}

void drain(int fd, std::string& into, bool& open) {
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
        into.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
        open = false;
    }
}

bool set_immutable(const fs::path& dir, bool on) {
    const UniqueFd directory(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    int flags = 0;
    if (!directory.valid() || ioctl(directory.get(), FS_IOC_GETFLAGS, &flags) != 0) {
        return false;
    }
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    return ioctl(directory.get(), FS_IOC_SETFLAGS, &flags) == 0;
}

// The two ends of a pipe, closed when they go.
struct Pipe {
    UniqueFd read;
    UniqueFd write;
};

Pipe make_pipe() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    return {UniqueFd(ends[0]), UniqueFd(ends[1])};
}

}  // namespace

bool is_windows() {
    return false;
}

fs::path url_cache_directory() {
    return {};
}

fs::path any_length(const fs::path& path) {
    return path;
}

namespace errors {
const NativeError not_found{ENOENT};
const NativeError path_not_found{ENOENT};
const NativeError already_exists{EEXIST};
const NativeError access_denied{EACCES};
const NativeError pinned{EPERM};
const NativeError is_a_directory{EISDIR};
const NativeError name_too_long{ENAMETOOLONG};
}  // namespace errors

bool narrow_text_holds_every_character() {
    return true;
}

std::string make_directory_link(const fs::path& target, const fs::path& link) {
    std::error_code error;
    fs::create_directory_symlink(target, link, error);
    return error ? error.message() : "";
}

std::string make_fifo(const fs::path& path) {
    return mkfifo(path.c_str(), 0666) == 0 ? "" : std::strerror(errno);
}

void release_fifo_reader(const fs::path& path) {
    // A writer's open succeeds only while a reader is there; closing it gives that reader its end.
    const UniqueFd writer(open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
}

Pin pin_directory(const fs::path& dir) {
    if (!set_immutable(dir.parent_path(), true)) {
        return {"this file system or user can't make a directory immutable", nullptr};
    }
    // A shared_ptr calls its deleter even for a null pointer.
    return {"",
            Undo(nullptr, [parent = dir.parent_path()](void*) { set_immutable(parent, false); })};
}

Pin pin_directory_itself(const fs::path& dir) {
    if (!set_immutable(dir, true)) {
        return {"this file system or user can't make a directory immutable", nullptr};
    }
    return {"", Undo(nullptr, [dir](void*) { set_immutable(dir, false); })};
}

Undo set_creation_mask(unsigned mask) {
    const mode_t saved = umask(static_cast<mode_t>(mask));
    return Undo(nullptr, [saved](void*) { umask(saved); });
}

Undo set_environment(const std::string& name, const std::string& value) {
    setenv(name.c_str(), value.c_str(), 1);
    return Undo(nullptr, [name](void*) { unsetenv(name.c_str()); });
}

unsigned permissions_of(const fs::path& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

fs::path updater_exe() {
    return build_root() / "updater";
}
fs::path small_limits_updater_exe() {
    return build_root() / "tests" / "updater_small_limits";
}
fs::path testapp_exe() {
    return build_root() / "tests" / "testapp";
}
fs::path host_path(const std::string& text) {
    return fs::path(text);
}

namespace {

constexpr uid_t unprivileged_id = 65534;  // nobody

// The processes an unprivileged user runs now.
long processes_of(uid_t uid) {
    long count = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator("/proc")) {
        struct stat st;
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") == std::string::npos &&
            stat(entry.path().c_str(), &st) == 0 && st.st_uid == uid) {
            ++count;
        }
    }
    return count;
}

RunResult run_with(const fs::path& exe, const std::vector<std::string>& args, const fs::path& cwd,
                   const std::function<void()>& in_child,
                   const std::function<bool(const std::string&)>& close_output_when = {});

}  // namespace

RunResult run_closing_output(const fs::path& exe, const std::vector<std::string>& args,
                             const std::function<bool(const std::string&)>& close_when) {
    return run_with(
        exe, args, {}, [] {}, close_when);
}

RunResult run_without_output(const fs::path& exe, const std::vector<std::string>& args) {
    return run_with(exe, args, {}, [] { close(1); });
}

RunResult run(const fs::path& exe, const std::vector<std::string>& args, const fs::path& cwd) {
    return run_with(exe, args, cwd, [] {});
}

RunResult run_unprivileged(const fs::path& exe, const std::vector<std::string>& args,
                           long extra_processes) {
    const long limit =
        extra_processes < 0 ? -1 : processes_of(unprivileged_id) + 1 + extra_processes;
    return run_with(exe, args, {}, [limit] {
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(unprivileged_id) != 0 ||
                               setuid(unprivileged_id) != 0)) {
            _exit(126);
        }
        const rlimit processes{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
        if (limit >= 0 && setrlimit(RLIMIT_NPROC, &processes) != 0) {
            _exit(126);
        }
    });
}

void give_to_unprivileged(const fs::path& path) {
    if (geteuid() != 0) {
        return;
    }
    lchown(path.c_str(), unprivileged_id, unprivileged_id);
    if (fs::is_directory(fs::symlink_status(path))) {
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(path)) {
            lchown(entry.path().c_str(), unprivileged_id, unprivileged_id);
        }
    }
}

std::string short_path(const fs::path&) {
    return "";
}

long kernel_thread_pid() {
    // A kernel thread has no executable image: its exe link can't be read, even by root.
    for (const fs::directory_entry& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        char target[16];
        if (name.find_first_not_of("0123456789") == std::string::npos &&
            read_file(entry.path() / "cmdline").empty() &&
            readlink((entry.path() / "exe").c_str(), target, sizeof target) < 0 &&
            errno == ENOENT) {
            return std::stol(name);
        }
    }
    return 0;
}

namespace {

RunResult run_with(const fs::path& exe, const std::vector<std::string>& args, const fs::path& cwd,
                   const std::function<void()>& in_child,
                   const std::function<bool(const std::string&)>& close_output_when) {
    Pipe out = make_pipe();
    Pipe err = make_pipe();
    std::vector<char*> argv = make_argv(exe, args);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out.write.get(), 1);
        dup2(err.write.get(), 2);
        in_child();
        exec_child(exe, argv, cwd);
    }
    out.write.reset();
    err.write.reset();
    RunResult result;
    bool out_open = true;
    bool err_open = true;
    while (out_open || err_open) {
        pollfd fds[2] = {{out_open ? out.read.get() : -1, POLLIN, 0},
                         {err_open ? err.read.get() : -1, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            continue;
        }
        if (fds[0].revents != 0) {
            drain(out.read.get(), result.out, out_open);
            if (out_open && close_output_when && close_output_when(result.out)) {
                out.read.reset();
                out_open = false;
            }
        }
        if (fds[1].revents != 0) {
            drain(err.read.get(), result.err, err_open);
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace

long spawn(const fs::path& exe, const std::vector<std::string>& args, const fs::path& cwd) {
    std::vector<char*> argv = make_argv(exe, args);
    const pid_t pid = fork();
    if (pid == 0) {
        exec_child(exe, argv, cwd);
    }
    return pid;
}

bool process_alive(long pid) {
    // Reap our own exited children so that a zombie does not count as running.
    int status = 0;
    if (waitpid(static_cast<pid_t>(pid), &status, WNOHANG) == pid) {
        return false;
    }
    return kill(static_cast<pid_t>(pid), 0) == 0;
}

void pause_process(long pid) {
    kill(static_cast<pid_t>(pid), SIGSTOP);
}

void resume_process(long pid) {
    kill(static_cast<pid_t>(pid), SIGCONT);
}

int exit_code_of(long pid) {
    int status = 0;
    if (waitpid(static_cast<pid_t>(pid), &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

void kill_process(long pid) {
    kill(static_cast<pid_t>(pid), SIGKILL);
    waitpid(static_cast<pid_t>(pid), nullptr, 0);
}

namespace {

void* run_work(void* work) {
    (*static_cast<const std::function<void()>*>(work))();
    return nullptr;
}

}  // namespace

bool run_with_stack(std::size_t stack_size, const std::function<void()>& work) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_t thread;
    const bool started = pthread_attr_setstacksize(&attributes, stack_size) == 0 &&
                         pthread_create(&thread, &attributes, run_work,
                                        const_cast<std::function<void()>*>(&work)) == 0;
    pthread_attr_destroy(&attributes);
    return started && pthread_join(thread, nullptr) == 0;
}

}  // namespace support
