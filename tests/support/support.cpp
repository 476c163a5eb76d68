#include "support.h"

#include <spdlog/spdlog.h>
#include <zip.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "log.h"
#include "text.h"

namespace support {

RunResult run_updater(const std::vector<std::string>& args, const fs::path& cwd) {
    return run(updater_exe(), args, cwd);
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

TempDir::TempDir() {
    std::random_device random;
    const fs::path base = fs::temp_directory_path();
    for (;;) {
        path_ = base / ("updater-test-" + std::to_string(random()));
        if (fs::create_directory(path_)) {
            break;
        }
    }
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const fs::path& path, const std::string& bytes) {
    if (path.has_parent_path()) {
        fs::create_directories(path.parent_path());
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

std::vector<std::string> log_lines(const fs::path& log_file) {
    std::vector<std::string> lines;
    std::istringstream text(read_file(log_file));
    std::string line;
    const std::string prefix = "] [updater] [";
    while (std::getline(text, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const size_t at = line.find(prefix);
        if (at == std::string::npos) {
            lines.push_back(line);
            continue;
        }
        std::string rest = line.substr(at + prefix.size());
        const size_t close = rest.find("] ");
        lines.push_back(rest.substr(0, close) + " " + rest.substr(close + 2));
    }
    return lines;
}

LogCapture::LogCapture(fs::path dir) : dir_(std::move(dir)) {
    restart();
}

LogCapture::~LogCapture() {
    spdlog::drop("updater");
}

void LogCapture::restart() const {
    spdlog::drop("updater");
    init_logging(to_narrow(dir_));
}

std::vector<AppStart> app_starts(const fs::path& app_dir) {
    std::vector<AppStart> starts;
    std::istringstream text(read_file(app_dir / "starts.txt"));
    std::string line;
    while (std::getline(text, line)) {
        if (line.rfind("start ", 0) == 0) {
            starts.emplace_back();
            starts.back().pid = std::stol(line.substr(6));
        } else if (starts.empty() || line == "end") {
            continue;
        } else if (line.rfind("cwd ", 0) == 0) {
            starts.back().cwd = line.substr(4);
        } else if (line.rfind("arg ", 0) == 0) {
            starts.back().args.push_back(line.substr(4));
        }
    }
    return starts;
}

fs::path install_testapp(const fs::path& dir, const std::string& name) {
    fs::create_directories(dir);
    const fs::path target = dir / name;
    fs::copy_file(testapp_exe(), target, fs::copy_options::overwrite_existing);
    return target;
}

void write_zip(const fs::path& path, const std::vector<ZipEntry>& entries, std::int64_t mtime) {
    int error = 0;
    zip_t* archive = zip_open(path.string().c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (archive == nullptr) {
        throw std::runtime_error("cannot create zip " + path.string());
    }
    for (const ZipEntry& entry : entries) {
        zip_int64_t index;
        if (entry.directory) {
            index = zip_dir_add(archive, entry.name.c_str(), ZIP_FL_ENC_UTF_8);
        } else {
            zip_source_t* source =
                zip_source_buffer(archive, entry.data.data(), entry.data.size(), 0);
            index = zip_file_add(archive, entry.name.c_str(), source, ZIP_FL_ENC_UTF_8);
            if (index < 0) {
                zip_source_free(source);
            }
        }
        if (index < 0) {
            zip_discard(archive);
            throw std::runtime_error("cannot add " + entry.name + ": " + zip_strerror(archive));
        }
        zip_file_set_mtime(archive, static_cast<zip_uint64_t>(index), static_cast<time_t>(mtime),
                           0);
    }
    if (zip_close(archive) != 0) {
        std::string message = zip_strerror(archive);
        zip_discard(archive);
        throw std::runtime_error("cannot write zip " + path.string() + ": " + message);
    }
}

// Changes the CRC-32 that the central directory records for entry `index`, so that reading the
// entry's (intact) data fails its check.
void break_crc(const fs::path& zip, int index) {
    std::string bytes = read_file(zip);
    size_t at = std::string::npos;
    for (int i = 0; i <= index; ++i) {
        at = bytes.find("PK\x01\x02", at == std::string::npos ? 0 : at + 4);
    }
    bytes.at(at + 16) ^= 0x55;
    write_file(zip, bytes);
}

std::vector<std::pair<std::string, std::string>> tree(const fs::path& dir) {
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file()) {
            files.emplace_back(fs::relative(entry.path(), dir).generic_string(),
                               read_file(entry.path()));
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace support
