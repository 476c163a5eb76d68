#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// Handler of `apply`: replaces current/ under app_dir with the package's contents as a small
// transaction with backup and rollback, then starts the application. Returns the exit code.
int run_apply(std::int32_t pid, const std::string& package, const std::string& app_dir,
              const std::string& exe, const std::string& version, const std::string& args);

// Platform pieces of the apply transaction.

// Another process, opened for waiting on and terminating it; closed when it goes.
class ProcessHandle {
  public:
    explicit ProcessHandle(long pid);
    ~ProcessHandle();
    ProcessHandle(const ProcessHandle&) = delete;
    ProcessHandle& operator=(const ProcessHandle&) = delete;

    // False when the process could not be opened (gone, never there, not ours to touch).
    bool is_open() const;
    // False when the process still runs after timeout_ms; true when it ended or the wait failed.
    bool wait_for_exit(int timeout_ms) const;
    // Ends the process with exit code 1 (Linux: SIGKILL); the result is not examined.
    void terminate() const;

  private:
    std::intptr_t handle_;
};

// Exclusive hold on an application root for the length of one apply; released when it goes.
class RootLock {
  public:
    explicit RootLock(const std::filesystem::path& root);
    ~RootLock();
    RootLock(const RootLock&) = delete;
    RootLock& operator=(const RootLock&) = delete;

    bool held() const;
    // Another process holds the lock.
    bool busy() const;
    // When neither held nor busy: the system's error code.
    unsigned long error() const;

  private:
    std::intptr_t handle_;
    unsigned long error_ = 0;
};
