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
#include <set>
#include <string>

#include "extract.h"

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

std::set<std::string> names_in(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// The sandbox holds the package and the chain of directories down to the destination, nothing
// else; nothing below the destination is a link.
void check_contained() {
    if (names_in(sandbox) != std::set<std::string>{"in.zip", "a"} ||
        names_in(sandbox / "a") != std::set<std::string>{"b"} ||
        names_in(dest.parent_path()) != std::set<std::string>{"dest"}) {
        fail("something was written outside the destination");
    }
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dest, ec), end; it != end; it.increment(ec)) {
        if (it->is_symlink()) {
            fail("a link was created: " + it->path().string());
        }
    }
    if (ec) {
        fail("the destination can't be walked: " + ec.message());
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
    dest = sandbox / "a" / "b" / "dest";
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
