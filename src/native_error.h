#pragma once

#include <string>

// How failures travel: a platform function (in a _win or _posix file) returns its failure, as a
// NativeError or a value that says it failed, and never logs; the portable code that called it
// logs it, once, in the same words on every build.

// A native error code as the system reported it: a GetLastError value on Windows, an errno
// value on Linux. Zero is success. There is deliberately no conversion to bool, so that a result
// can't be read the wrong way round, and ignoring one is a compile error.
class [[nodiscard]] NativeError {
  public:
    constexpr NativeError() = default;
    constexpr explicit NativeError(unsigned long code) : code_(code) {}

    constexpr unsigned long code() const { return code_; }
    [[nodiscard]] constexpr bool ok() const { return code_ == 0; }
    [[nodiscard]] constexpr bool failed() const { return code_ != 0; }

    friend constexpr bool operator==(NativeError a, NativeError b) { return a.code_ == b.code_; }
    friend constexpr bool operator!=(NativeError a, NativeError b) { return a.code_ != b.code_; }

  private:
    unsigned long code_ = 0;
};

// The error the calling thread's last failed system call left (GetLastError or errno).
NativeError last_error();

// The system's message for the error.
std::string error_text(NativeError error);
