// Writes the extraction fuzzer's seed corpus: every hand-made hostile archive, one file each,
// into the directory named by the only argument.
#include <cctype>
#include <cstdio>
#include <filesystem>

#include "hostile_zips.h"
#include "support.h"

namespace fs = std::filesystem;

namespace {

// The bomb stays small here: the fuzzer runs each input thousands of times.
constexpr std::size_t seed_bomb_size = 4u << 20;

std::string file_name(int index, const std::string& name) {
    std::string safe = std::to_string(index) + "-";
    for (const char c : name) {
        safe += std::isalnum(static_cast<unsigned char>(c)) || c == '-' ? c : '_';
    }
    return safe + ".zip";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds DIR\n");
        return 2;
    }
    const fs::path dir = argv[1];
    fs::create_directories(dir);
    int count = 0;
    for (const hostile::Archive& archive : hostile::archives(seed_bomb_size)) {
        support::write_file(dir / file_name(count, archive.name), archive.bytes);
        ++count;
    }
    std::printf("%d seeds in %s\n", count, dir.string().c_str());
    return 0;
}
