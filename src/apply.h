#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "error.h"

// Handler of `apply`: replaces current/ under app_dir with the package's contents as a small
// transaction with backup and rollback, then starts the application. Returns the exit code.
int run_apply(std::int32_t pid, const std::string& package, const std::string& app_dir,
              const std::string& exe, const std::string& version, const std::string& args);

// Platform piece of the apply transaction: exclusive hold on an application root for the length
// of one apply; released when it goes.
class RootLock {
  public:
    explicit RootLock(const std::filesystem::path& root);
    ~RootLock();
    RootLock(const RootLock&) = delete;
    RootLock& operator=(const RootLock&) = delete;

    [[nodiscard]] bool held() const;
    // Another process holds the lock.
    [[nodiscard]] bool busy() const;
    // When not held: why.
    [[nodiscard]] NativeError error() const { return error_; }

  private:
    struct Native;  // the platform's lock handle
    std::unique_ptr<Native> native_;
    NativeError error_;
};
