#include "apply.h"
#include "native_win.h"

struct RootLock::Native {
    UniqueHandle file;
};

// A lock file opened with no sharing: a second opener fails with a sharing violation. It is
// deleted when the handle closes, however the process ends.
RootLock::RootLock(const std::filesystem::path& root) : native_(std::make_unique<Native>()) {
    native_->file.reset(CreateFileW((root / L".apply.lock").c_str(), GENERIC_WRITE | DELETE, 0,
                                    nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!held()) {
        error_ = last_error();
    }
}

RootLock::~RootLock() = default;

bool RootLock::held() const {
    return native_->file.valid();
}

bool RootLock::busy() const {
    return error_.code() == ERROR_SHARING_VIOLATION;
}
