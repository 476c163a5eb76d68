#include "native_win.h"
// The COM and URL moniker headers need windows.h first.
#include <objbase.h>
#include <urlmon.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "download.h"
#include "files.h"
#include "receive.h"
#include "stall.h"
#include "text.h"
#include "transfer_limits.h"

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

// One reference to a COM object, released when it goes.
template <typename T>
class ComRef {
  public:
    ComRef() = default;
    ~ComRef() { reset(); }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;

    T* get() const { return object_; }
    T* operator->() const { return object_; }
    // For a call that hands out a reference.
    T** out() {
        reset();
        return &object_;
    }
    // Takes a reference of its own to an object someone else handed over.
    void hold(T* object) {
        if (object != nullptr) {
            object->AddRef();
        }
        reset();
        object_ = object;
    }
    void reset() {
        if (object_ != nullptr) {
            object_->Release();
            object_ = nullptr;
        }
    }

  private:
    T* object_ = nullptr;
};

constexpr HRESULT connection_timeout =
    static_cast<HRESULT>(0x800c000bL);  // INET_E_CONNECTION_TIMEOUT

// The binding asks for: the body as it arrives, pulled from a stream by us (so no copy of it is
// handed on or kept), no copy in the URL cache (which URLMon honours only with the other two),
// and no answer from that cache either.
constexpr DWORD bind_flags = BINDF_ASYNCHRONOUS | BINDF_ASYNCSTORAGE | BINDF_PULLDATA |
                             BINDF_NOWRITECACHE | BINDF_GETNEWESTVERSION;

constexpr std::size_t read_chunk = 512 * 1024;

// Text of URLMon's wide header block; header text is ASCII.
std::string ascii_text(const wchar_t* wide) {
    std::string text;
    for (; wide != nullptr && *wide != L'\0'; ++wide) {
        text += *wide < 0x80 ? static_cast<char>(*wide) : '?';
    }
    return text;
}

// The URL as the ANSI download calls read their narrow argument.
std::wstring wide_url(const std::string& url) {
    const int length =
        MultiByteToWideChar(CP_ACP, 0, url.data(), static_cast<int>(url.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(std::max(length, 0)), L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_ACP, 0, url.data(), static_cast<int>(url.size()), wide.data(),
                            length);
    }
    return wide;
}

// The request's own header lines: the encodings both builds offer, and, when kept bytes are
// continued, a request for the bytes after them, on condition that the server's copy is still
// the one they came from; a server that can't or won't sends the whole body (200), which the
// receiver takes from the start.
std::wstring request_headers(const std::optional<ResumePoint>& resume) {
    // Header text is ASCII.
    const auto wide = [](const std::string& text) {
        return std::wstring(text.begin(), text.end());
    };
    std::wstring headers = L"Accept-Encoding: " + wide(accepted_encodings) + L"\r\n";
    if (resume) {
        headers += L"Range: bytes=" + std::to_wstring(resume->kept) + L"-\r\n";
        if (!resume->validator.empty()) {
            headers += L"If-Range: " + wide(resume->validator) + L"\r\n";
        }
    }
    return headers;
}

// What URLMon calls while a binding runs: it hands the response's head and every piece of the
// body to the receiver, as they arrive, on the thread that pumps messages. Owned by its COM
// references alone, so that it stays valid for URLMon however long URLMon holds on to it after
// the transfer has given up on a binding; the receiver is detached then, and later calls reach
// nothing but this object.
class BindingEvents : public IBindStatusCallback, public IHttpNegotiate {
  public:
    explicit BindingEvents(BodyReceiver& body) : body_(&body), buffer_(read_chunk) {}

    // A new object, held by the reference handed out.
    static void make(BodyReceiver& body, ComRef<BindingEvents>& events) {
        auto owned = std::make_unique<BindingEvents>(body);
        BindingEvents* made = owned.get();
        made->self_ = std::move(owned);
        events.hold(made);
    }

    bool stopped() const { return stopped_; }
    bool aborted() const { return aborted_; }
    // What the binding reported: its end's code, else a failed read of its stream, else success.
    HRESULT result() const {
        if (redirected_too_often_) {
            return static_cast<HRESULT>(transfer_code::download_failure);
        }
        return FAILED(stop_result_) ? stop_result_ : read_result_;
    }
    ULONG references() const { return references_; }
    // Ends the binding from our side: its end is reported through OnStopBinding, at once or
    // later, or (as seen) never.
    void abort() {
        if (!aborted_ && binding_.get() != nullptr) {
            aborted_ = true;
            binding_->Abort();
        }
    }
    // The transfer is over: nothing reaches the receiver from here on, and the binding is let
    // go, so that URLMon can let go of this object.
    void detach() {
        body_ = nullptr;
        binding_.reset();
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override {
        if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, IID_IBindStatusCallback)) {
            *object = static_cast<IBindStatusCallback*>(this);
        } else if (IsEqualIID(id, IID_IHttpNegotiate)) {
            *object = static_cast<IHttpNegotiate*>(this);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) {
            // The last reference: the object goes with it, and nothing of it is used after.
            const std::unique_ptr<BindingEvents> last = std::move(self_);
        }
        return left;
    }

    HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD, IBinding* binding) override {
        if (body_ == nullptr) {
            return E_ABORT;
        }
        binding_.hold(binding);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetPriority(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnLowResource(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnProgress(ULONG, ULONG, ULONG status, LPCWSTR) override {
        // URLMon follows redirects by itself, without a limit of its own, and may report one
        // after the request to its target went out: refused at the report of the last redirect
        // allowed, no more than max_redirects + 1 requests are ever made.
        if (status == BINDSTATUS_REDIRECTING && ++redirects_ >= max_redirects) {
            redirected_too_often_ = true;
            return refuse();
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT result, LPCWSTR) override {
        stopped_ = true;
        stop_result_ = result;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD* flags, BINDINFO* info) override {
        *flags = bind_flags;
        // Everything past the size the caller gave is left alone.
        const DWORD size = info->cbSize;
        ZeroMemory(info, size);
        info->cbSize = size;
        info->dwBindVerb = BINDVERB_GET;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD, DWORD, FORMATETC*,
                                              STGMEDIUM* medium) override {
        if (body_ == nullptr) {
            return E_ABORT;
        }
        if (medium == nullptr || medium->tymed != TYMED_ISTREAM || medium->pstm == nullptr) {
            return S_OK;
        }
        // Everything that has arrived so far; E_PENDING or S_FALSE when nothing more has.
        for (;;) {
            ULONG got = 0;
            const HRESULT read =
                medium->pstm->Read(buffer_.data(), static_cast<ULONG>(buffer_.size()), &got);
            if (got > 0 && !body_->take(buffer_.data(), got)) {
                return refuse();
            }
            // A stream that fails tells of a body that did not arrive whole (a chunked one cut
            // in a chunk, for one), even where the binding's end reports success.
            if (FAILED(read) && read != E_PENDING) {
                read_result_ = read;
                return S_OK;
            }
            if (read != S_OK || got == 0) {
                return S_OK;
            }
        }
    }
    HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

    HRESULT STDMETHODCALLTYPE BeginningTransaction(LPCWSTR, LPCWSTR, DWORD,
                                                   LPWSTR* additional_headers) override {
        *additional_headers = nullptr;
        if (body_ == nullptr) {
            return E_ABORT;
        }
        const std::wstring headers = request_headers(body_->resume());
        // URLMon takes the text over and frees it with CoTaskMemFree.
        const std::size_t bytes = (headers.size() + 1) * sizeof(wchar_t);
        auto* text = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
        if (text == nullptr) {
            return E_OUTOFMEMORY;
        }
        CopyMemory(text, headers.c_str(), bytes);
        *additional_headers = text;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnResponse(DWORD status, LPCWSTR headers, LPCWSTR,
                                         LPWSTR* additional_headers) override {
        if (additional_headers != nullptr) {
            *additional_headers = nullptr;
        }
        if (body_ == nullptr) {
            return E_ABORT;
        }
        std::optional<ResponseHead> head = parse_response_head(ascii_text(headers));
        if (!head) {
            head.emplace();
        }
        head->status = static_cast<int>(status);
        return body_->accept_head(*head) ? S_OK : refuse();
    }

  private:
    // URLMon ignores E_ABORT from a callback alone; the binding is aborted too.
    HRESULT refuse() {
        abort();
        return E_ABORT;
    }

    std::unique_ptr<BindingEvents> self_;  // until the last reference goes
    BodyReceiver* body_;                   // none once detached
    std::vector<char> buffer_;
    ComRef<IBinding> binding_;
    std::atomic<ULONG> references_{0};
    long redirects_ = 0;
    bool redirected_too_often_ = false;
    bool stopped_ = false;
    bool aborted_ = false;
    HRESULT stop_result_ = S_OK;
    HRESULT read_result_ = S_OK;
};

void dispatch_waiting_messages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

// Waits for the thread's next message, at the latest until `until`.
void wait_for_message(std::chrono::steady_clock::time_point until) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    const auto wait = static_cast<DWORD>(std::clamp<long long>(left.count() + 1, 0, 60 * 1000));
    MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

// Runs the binding's messages on this thread until it has ended, or until it was aborted: a
// refusal, too many redirects, or a stall. An aborted binding may go on for a while, or for
// ever, so it is not waited for; the events outlive it. True when it stalled.
[[nodiscard]] bool pump_until_stopped(BindingEvents& events, const BodyReceiver& body) {
    StallRule stall(transfer_limits.stall_seconds, transfer_limits.stall_bytes_per_second);
    while (!events.stopped() && !events.aborted()) {
        wait_for_message(stall.window_end());
        dispatch_waiting_messages();
        stall.received(body.received());
        if (!events.stopped() && stall.stalled()) {
            events.abort();
            return true;
        }
    }
    return false;
}

HRESULT bind_to_stream(const std::string& url, BindingEvents& events, const BodyReceiver& body) {
    ComRef<IMoniker> moniker;
    HRESULT result = CreateURLMoniker(nullptr, wide_url(url).c_str(), moniker.out());
    if (FAILED(result)) {
        return result;
    }
    ComRef<IBindCtx> context;
    result = CreateAsyncBindCtx(0, &events, nullptr, context.out());
    if (FAILED(result)) {
        return result;
    }
    ComRef<IStream> stream;
    result = moniker->BindToStorage(context.get(), nullptr, IID_IStream,
                                    reinterpret_cast<void**>(stream.out()));
    // A binding that failed at once has reported its end already.
    if (FAILED(result)) {
        return result;
    }
    if (pump_until_stopped(events, body)) {
        return connection_timeout;
    }
    return events.result();
}

HRESULT fetch(const std::string& url, BodyReceiver& body) {
    const ComApartment apartment;
    ComRef<BindingEvents> events;
    BindingEvents::make(body, events);
    const HRESULT result = bind_to_stream(url, *events.get(), body);
    events->detach();
    // A binding that ended lets go of the events as its last messages are handled (at once, as
    // measured), and one that an abort ends soon after it. The waits are bounded, the one after
    // an abort to a moment, so that neither a reference URLMon never returns nor an abort that
    // does not end the binding can hold the run.
    const auto now = [] { return std::chrono::steady_clock::now(); };
    const auto ended_limit = now() + std::chrono::seconds(10);
    const auto aborted_limit = now() + std::chrono::seconds(1);
    while (events->references() > 1) {
        const auto limit = events->stopped() ? ended_limit : aborted_limit;
        if (now() >= limit) {
            break;
        }
        wait_for_message(std::min(limit, now() + std::chrono::milliseconds(100)));
        dispatch_waiting_messages();
    }
    return result;
}

}  // namespace

std::int32_t transfer_url_into(const std::string& url, BodyReceiver& body) {
    if (const std::int32_t refused = body.start(); refused != 0) {
        return refused;
    }
    // The apartment ends inside fetch, before the file is closed.
    return body.finish(static_cast<std::int32_t>(fetch(url, body)));
}
