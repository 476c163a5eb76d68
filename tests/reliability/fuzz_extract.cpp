// libFuzzer target for extraction: each input is written out as a package and extracted into a
// fresh destination deep inside a private sandbox. Anything that appears in the sandbox outside
// the destination, or a link anywhere below it, aborts the run with the input as reproducer.
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "extract.h"
#include "support.h"

namespace fs = std::filesystem;

namespace {

// Large enough for every seed's contents, small enough that mutated size fields can't fill the
// disk: a longer write fails (EFBIG) like a full disk would.
constexpr rlim_t max_file_size = 64u << 20;

fs::path sandbox;
fs::path package;
fs::path dest;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz_extract: %s\n", what.c_str());
    std::abort();
}

// The sandbox holds the package and the chain of directories down to the destination, nothing
// else; nothing below the destination is a link.
void check_contained() {
    const std::string breach = support::sandbox_breach(sandbox);
    if (!breach.empty()) {
        fail(breach);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Under TMPDIR, so that a run's caller can clear away what a crashed run leaves.
    std::string pattern = (fs::temp_directory_path() / "fuzz-extract.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        fail("no sandbox");
    }
    sandbox = pattern;
    package = sandbox / "in.zip";
    dest = support::sandbox_dest(sandbox);
    std::atexit([] { fs::remove_all(sandbox); });
    // Log lines go nowhere: the fuzzer's own output stays readable.
    spdlog::set_default_logger(std::make_shared<spdlog::logger>(
        "updater", std::make_shared<spdlog::sinks::null_sink_mt>()));
    const rlimit limit{max_file_size, max_file_size};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, SIG_IGN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fs::remove_all(dest);
    fs::create_directories(dest);
    {
        std::ofstream out(package, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    extract_zip(package.string(), dest.string());
    check_contained();
    return 0;
}
