#include "native_win.h"
// The COM and URL download headers need windows.h first.
#include <objbase.h>
#include <shlobj.h>
#include <urlmon.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

#include "download.h"
#include "files.h"
#include "stall.h"
#include "text.h"

namespace {

// The thread's COM apartment, entered only around the download. A failed initialisation (for
// instance COM already set up in another mode) is not undone.
class ComApartment {
  public:
    ComApartment() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComApartment() {
        if (SUCCEEDED(result_)) {
            CoUninitialize();
        }
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

  private:
    HRESULT result_;
};

constexpr HRESULT connection_timeout =
    static_cast<HRESULT>(0x800c000bL);  // INET_E_CONNECTION_TIMEOUT

// Polls the stall rule while a transfer runs. A server that sends nothing never calls back, so
// this runs on a thread of its own and aborts the binding from there.
class StallWatchdog {
  public:
    StallWatchdog() = default;
    ~StallWatchdog() { stop(); }
    StallWatchdog(const StallWatchdog&) = delete;
    StallWatchdog& operator=(const StallWatchdog&) = delete;

    void start(IBinding* binding) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (thread_.joinable()) {
            return;
        }
        binding->AddRef();
        binding_ = binding;
        // The first window starts with the binding.
        rule_.emplace(transfer_limits.stall_seconds, transfer_limits.stall_bytes_per_second);
        thread_ = std::thread([this] { watch(); });
    }
    void received(std::uint64_t total) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (rule_) {
            rule_->received(total);
        }
    }
    void stop() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        // The abort may report the end of the binding on the watchdog's own thread; the caller's
        // thread joins it later.
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
            thread_.join();
        }
        if (!thread_.joinable() && binding_ != nullptr) {
            binding_->Release();
            binding_ = nullptr;
        }
    }
    bool fired() const { return fired_; }

  private:
    void watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_until(lock, rule_->window_end(), [this] { return done_; })) {
            if (rule_->stalled()) {
                fired_ = true;
                IBinding* binding = binding_;
                // Unlocked: the abort may call back into this object.
                lock.unlock();
                binding->Abort();
                return;
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::thread thread_;
    IBinding* binding_ = nullptr;
    std::optional<StallRule> rule_;
    bool done_ = false;
    std::atomic<bool> fired_{false};
};

// Watches a URL download as it runs: counts the bytes (the call's own counts stop at 4 GiB),
// refuses more than the allowed size or a fill past the free-space floor, and hands the binding
// to the stall watchdog. The object lives on the caller's stack for the length of the call.
class TransferWatch : public IBindStatusCallback {
  public:
    TransferWatch(std::int64_t max_bytes, std::vector<std::filesystem::path> volumes)
        : max_bytes_(max_bytes), volumes_(std::move(volumes)) {}

    bool refused() const { return refused_; }
    bool stalled() const { return watchdog_.fired(); }
    // No size is known and a disk is already at the free-space floor: nothing may come.
    bool floor_reached() const { return max_bytes_ < 0 && !may_keep(0); }
    void finish() { watchdog_.stop(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override {
        if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, IID_IBindStatusCallback)) {
            *object = static_cast<IBindStatusCallback*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // Owned by the caller's stack frame, not by its reference count.
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD, IBinding* binding) override {
        if (binding != nullptr) {
            watchdog_.start(binding);
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetPriority(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnLowResource(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnProgress(ULONG progress, ULONG progress_max, ULONG status,
                                         LPCWSTR) override {
        if (status == BINDSTATUS_BEGINDOWNLOADDATA) {
            // An announced length beyond the limit, or a disk already at its floor, ends the
            // transfer before any of the body is taken.
            const bool too_long =
                max_bytes_ >= 0 && static_cast<std::int64_t>(progress_max) > max_bytes_;
            return too_long || !may_keep(0) ? refuse() : S_OK;
        }
        if (status != BINDSTATUS_DOWNLOADINGDATA && status != BINDSTATUS_ENDDOWNLOADDATA) {
            return S_OK;
        }
        // Unsigned difference: correct across the wrap of the 32-bit running count.
        const ULONG piece = progress - last_progress_;
        last_progress_ = progress;
        received_ += piece;
        watchdog_.received(received_);
        return may_keep(piece) ? S_OK : refuse();
    }
    HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT, LPCWSTR) override {
        watchdog_.stop();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD*, BINDINFO*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID, IUnknown*) override { return E_NOTIMPL; }

  private:
    HRESULT refuse() {
        refused_ = true;
        return E_ABORT;
    }
    bool may_keep(ULONG piece) const {
        if (max_bytes_ >= 0) {
            return received_ <= static_cast<std::uint64_t>(max_bytes_);
        }
        // The body passes through the download cache before it is copied to the target.
        for (const std::filesystem::path& volume : volumes_) {
            const std::optional<std::int64_t> free = free_space(volume);
            if (free &&
                *free - static_cast<std::int64_t>(piece) < transfer_limits.free_space_floor) {
                return false;
            }
        }
        return true;
    }

    std::int64_t max_bytes_;
    std::vector<std::filesystem::path> volumes_;
    ULONG last_progress_ = 0;
    std::uint64_t received_ = 0;
    bool refused_ = false;
    StallWatchdog watchdog_;
};

// Where the URL download call keeps its copy of the body while it arrives.
std::optional<std::filesystem::path> download_cache_directory() {
    wchar_t path[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_INTERNET_CACHE, nullptr, SHGFP_TYPE_CURRENT, path) !=
        S_OK) {
        return std::nullopt;
    }
    return std::filesystem::path(path);
}

// The call may deliver its progress late or not at all, so the body it wrote is measured too: a
// file longer than allowed is refused even when no callback saw it grow.
[[nodiscard]] bool exceeds(const std::filesystem::path& path, std::int64_t max_bytes) {
    const std::optional<std::uint64_t> written = regular_file_size(path);
    return max_bytes >= 0 && written && *written > static_cast<std::uint64_t>(max_bytes);
}

HRESULT fetch(const std::string& url, const std::filesystem::path& path, std::int64_t max_bytes) {
    const ComApartment apartment;
    std::vector<std::filesystem::path> volumes = {path.parent_path()};
    if (const std::optional<std::filesystem::path> cache = download_cache_directory()) {
        volumes.push_back(*cache);
    }
    TransferWatch watch(max_bytes, std::move(volumes));
    // Checked before connecting too, so that a slow start can't turn it into a stall.
    if (watch.floor_reached()) {
        return E_ABORT;
    }
    const HRESULT result =
        URLDownloadToFileA(nullptr, url.c_str(), to_narrow(path).c_str(), 0, &watch);
    watch.finish();
    if (watch.refused() || exceeds(path, max_bytes)) {
        return E_ABORT;
    }
    if (watch.stalled()) {
        return connection_timeout;
    }
    return result;
}

}  // namespace

std::int32_t download_url_to_file(const std::string& url, const std::filesystem::path& path,
                                  std::int64_t max_bytes) {
    // The apartment ends inside fetch, before the caller looks at the result.
    return static_cast<std::int32_t>(fetch(url, path, max_bytes));
}
