// `--progress` as the program that started the updater reads it: JSON Lines on a pipe that is the
// updater's standard output (inherited, under Wine, as the Windows build gets it), checked line by
// line against what a host may rely on, and a reader that goes away.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app_root.h"
#include "support.h"
#include "zip_builder.h"

using namespace support;

namespace {

// One progress line: its string fields, decoded, and its integer fields.
struct Fields {
    std::map<std::string, std::string> text;
    std::map<std::string, long long> number;

    std::string phase() const { return text.count("phase") ? text.at("phase") : ""; }
    long long get(const std::string& name) const {
        return number.count(name) ? number.at(name) : -999;
    }
};

// A JSON object of string and integer members, as every progress line is; nothing for anything
// else.
std::optional<Fields> parse_line(const std::string& line) {
    std::size_t i = 0;
    const auto at = [&](char c) { return i < line.size() && line[i] == c; };
    const auto string = [&]() -> std::optional<std::string> {
        if (!at('"')) {
            return std::nullopt;
        }
        std::string out;
        for (++i; i < line.size() && line[i] != '"'; ++i) {
            if (static_cast<unsigned char>(line[i]) < 0x20) {
                return std::nullopt;
            }
            if (line[i] != '\\') {
                out += line[i];
                continue;
            }
            if (++i >= line.size()) {
                return std::nullopt;
            }
            const std::string simple = "\"\\/bfnrt";
            if (line[i] == 'u' && i + 4 < line.size()) {
                out += '?';  // the tests compare only ASCII text
                i += 4;
            } else if (simple.find(line[i]) != std::string::npos) {
                out += std::string("\"\\/\b\f\n\r\t")[simple.find(line[i])];
            } else {
                return std::nullopt;
            }
        }
        if (!at('"')) {
            return std::nullopt;
        }
        ++i;
        return out;
    };
    Fields fields;
    if (!at('{')) {
        return std::nullopt;
    }
    ++i;
    while (!at('}')) {
        const std::optional<std::string> name = string();
        if (!name || !at(':')) {
            return std::nullopt;
        }
        ++i;
        if (at('"')) {
            const std::optional<std::string> value = string();
            if (!value) {
                return std::nullopt;
            }
            fields.text[*name] = *value;
        } else {
            const std::size_t start = i;
            i += at('-') ? 1 : 0;
            while (i < line.size() && line[i] >= '0' && line[i] <= '9') {
                ++i;
            }
            if (i == start || line[i - 1] == '-') {
                return std::nullopt;
            }
            fields.number[*name] = std::stoll(line.substr(start, i - start));
        }
        if (at(',')) {
            ++i;
        } else if (!at('}')) {
            return std::nullopt;
        }
    }
    return i + 1 == line.size() ? std::optional<Fields>(fields) : std::nullopt;
}

// What a host may rely on in the output of a run that ended with r.exit_code: every line parses;
// phases only move forward; within a phase (and an attempt) done never decreases nor passes a
// known total, and where the run succeeded, reaches it; at most 4 lines in any second of a phase;
// the last line is "done" with the exit code. Returns the lines, and the phases in order.
std::vector<Fields> check_progress(const RunResult& r, std::vector<std::string>& phases) {
    std::vector<Fields> lines;
    EXPECT_FALSE(r.out.empty());
    EXPECT_EQ(r.out.back(), '\n');
    std::size_t start = 0;
    for (std::size_t end; (end = r.out.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string text = r.out.substr(start, end - start);
        const std::optional<Fields> fields = parse_line(text);
        EXPECT_TRUE(fields) << text;
        if (!fields) {
            return lines;
        }
        for (const char* name : {"done", "total", "ms"}) {
            EXPECT_EQ(fields->number.count(name), 1u) << name << " in " << text;
        }
        lines.push_back(*fields);
    }
    phases.clear();
    for (std::size_t k = 0; k < lines.size(); ++k) {
        const Fields& line = lines[k];
        if (phases.empty() || phases.back() != line.phase()) {
            EXPECT_EQ(std::count(phases.begin(), phases.end(), line.phase()), 0)
                << line.phase() << " came back";
            phases.push_back(line.phase());
        }
        if (line.get("total") >= 0) {
            EXPECT_LE(line.get("done"), line.get("total")) << line.phase();
        }
        if (line.phase() == "download") {
            EXPECT_GE(line.get("attempt"), 1);
        }
        if (k == 0) {
            continue;
        }
        const Fields& before = lines[k - 1];
        EXPECT_GE(line.get("ms"), before.get("ms"));
        if (before.phase() == line.phase() && before.get("attempt") == line.get("attempt")) {
            EXPECT_GE(line.get("done"), before.get("done")) << line.phase();
        }
        if (before.phase() == line.phase()) {
            EXPECT_GE(line.get("attempt"), before.get("attempt"));
        }
        // Lines of this phase in the second that ends with this one.
        int in_second = 0;
        for (std::size_t j = 0; j <= k; ++j) {
            in_second +=
                lines[j].phase() == line.phase() && lines[j].get("ms") > line.get("ms") - 1000 ? 1
                                                                                               : 0;
        }
        EXPECT_LE(in_second, 4) << line.phase() << " at " << line.get("ms");
        if (r.exit_code == 0 && before.phase() != line.phase() && before.get("total") >= 0) {
            EXPECT_EQ(before.get("done"), before.get("total")) << before.phase();
        }
    }
    if (!lines.empty()) {
        EXPECT_EQ(lines.back().phase(), "done");
        EXPECT_EQ(lines.back().get("exit"), r.exit_code);
        EXPECT_EQ(lines.back().get("done"), 0);
        EXPECT_EQ(lines.back().get("total"), 0);
    }
    return lines;
}

// The last line of the phase in `lines`.
Fields last_of(const std::vector<Fields>& lines, const std::string& phase) {
    Fields last;
    for (const Fields& line : lines) {
        if (line.phase() == phase) {
            last = line;
        }
    }
    return last;
}

const std::string kWarning = "warning Progress output closed, continuing without it";

// Downloads go to dir, stage and apply to the root in it.
struct Progress : AppRoot {
    fs::path server;
    int port = 0;
    std::string token = dir.path().filename().string();
    fs::path output = dir / "packages" / "pkg.zip";
    // More than one 1 MiB read, and known to the test: its SHA-256 and size.
    const std::string package_bytes = std::string(std::size_t{1} << 20 | 1, 'a');
    const std::string package_sha256 =
        "4a3f0c0c213adea174f9a3d4c13177315b588bdb2e9c1012d3d0bf0453ca0f6a";

    void SetUp() override {
        const char* state = std::getenv("UPDATER_TEST_SERVER");
        ASSERT_NE(state, nullptr) << "run through CTest, which starts the test server";
        server = host_path(state);
        port = std::stoi(read_file(server / "port"));
        write_file(server / "files" / token / "pkg.zip", package_bytes);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(server / "files" / token, ignored);
    }

    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port) + "/" + path;
    }
    // The package, sent in four pieces half a second apart: a transfer that takes a while.
    std::string slow_url() const { return url("slow/" + token + "/pkg.zip"); }
    Args download_args(const std::string& from) const {
        return {"download",
                "--url",
                from,
                "--output",
                output.string(),
                "--sha256",
                package_sha256,
                "--size",
                std::to_string(package_bytes.size()),
                "--app-dir",
                dir.path().string(),
                "--progress"};
    }
    Lines download_log() const { return log_lines(dir / "updater.log"); }

    Args stage_args() const {
        Args args = stage_command("2.0");
        args.push_back("--progress");
        return args;
    }
    Args apply_args() const {
        Args args = apply_command(0, "2.0");
        args.push_back("--progress");
        return args;
    }
    // Writes the package for stage and apply; returns the bytes its entries hold.
    long long write_package() const {
        const std::string readme(300000, 'r');
        write_zip(package,
                  {unix_entry("app.exe", app_bytes, 0100755), {"data/readme.txt", readme}});
        return static_cast<long long>(app_bytes.size() + readme.size());
    }
    void install_old() const {
        install_testapp(current, "app.exe");
        write_file(version_file, "1.0\r\n");
    }
};

TEST_F(Progress, DownloadReportsTheTransferAndThenTheCheckOfThePackageInPlace) {
    const RunResult fetched = run_updater(download_args(slow_url()));
    ASSERT_EQ(fetched.exit_code, 0) << fetched.err;
    std::vector<std::string> phases;
    std::vector<Fields> lines = check_progress(fetched, phases);
    EXPECT_EQ(phases, Args({"download", "done"}));
    const Fields received = last_of(lines, "download");
    EXPECT_EQ(received.get("attempt"), 1);
    EXPECT_EQ(received.get("total"), static_cast<long long>(package_bytes.size()));
    EXPECT_EQ(read_file(output), package_bytes);
    // Bytes arrived over more than a second and a half: lines came while they flowed.
    EXPECT_GE(lines.size(), 4u);

    const RunResult present = run_updater(download_args(slow_url()));
    ASSERT_EQ(present.exit_code, 0) << present.err;
    lines = check_progress(present, phases);
    EXPECT_EQ(phases, Args({"verify", "done"}));
    EXPECT_EQ(last_of(lines, "verify").get("total"), static_cast<long long>(package_bytes.size()));

    // Without --progress nothing is written.
    Args quiet = download_args(slow_url());
    quiet.pop_back();
    const RunResult without = run_updater(quiet);
    EXPECT_EQ(without.exit_code, 0);
    EXPECT_EQ(without.out, "");
    // A command-line error ends the run before there is a log, and writes no line.
    const RunResult wrong = run_updater({"download", "--progress", "--output", output.string()});
    EXPECT_EQ(wrong.exit_code, 106);
    EXPECT_EQ(wrong.out, "");
}

TEST_F(Progress, FailedDownloadEndsWithItsExitCodeAndItsLastErrorLine) {
    const std::string missing = url("status/404/" + token);
    const RunResult r = run_updater(download_args(missing));
    ASSERT_EQ(r.exit_code, 1);
    std::vector<std::string> phases;
    const std::vector<Fields> lines = check_progress(r, phases);
    EXPECT_EQ(phases, Args({"download", "done"}));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().text.count("error"), 1u);
    EXPECT_EQ("error " + lines.back().text.at("error"), download_log().back());
    EXPECT_EQ(lines.back().text.at("error"),
              "URLDownloadToFile failed: hr=0x800c0008 url=" + missing);
}

TEST_F(Progress, StageAndApplyReportTheirSteps) {
    install_old();
    const long long extracted = write_package();
    std::vector<std::string> phases;

    // Without a stage: the wait, current/ moved aside, the extraction, the start.
    const RunResult unstaged = run_updater(apply_args());
    ASSERT_EQ(unstaged.exit_code, 0) << unstaged.err;
    std::vector<Fields> lines = check_progress(unstaged, phases);
    EXPECT_EQ(phases, Args({"wait", "swap", "extract", "launch", "done"}));
    EXPECT_EQ(last_of(lines, "swap").get("done"), 1);
    EXPECT_EQ(last_of(lines, "swap").get("total"), 1);
    EXPECT_EQ(last_of(lines, "extract").get("total"), extracted);
    EXPECT_EQ(last_of(lines, "launch").get("total"), 0);

    // The stage extracts; the apply that uses it has two renames and no extraction.
    const RunResult staged = run_updater(stage_args());
    ASSERT_EQ(staged.exit_code, 0) << staged.err;
    lines = check_progress(staged, phases);
    EXPECT_EQ(phases, Args({"extract", "done"}));
    EXPECT_EQ(last_of(lines, "extract").get("total"), extracted);

    const RunResult swapped = run_updater(apply_args());
    ASSERT_EQ(swapped.exit_code, 0) << swapped.err;
    lines = check_progress(swapped, phases);
    EXPECT_EQ(phases, Args({"wait", "swap", "launch", "done"}));
    EXPECT_EQ(last_of(lines, "swap").get("done"), 2);
    EXPECT_EQ(last_of(lines, "swap").get("total"), 2);

    // Awaiting a confirmation adds its phase after the start.
    Args confirmed = apply_args();
    for (const std::string& arg :
         {std::string("--confirm-timeout-ms"), std::string("60000"), std::string("--args"),
          "--confirm \"" + updater_exe().string() + "\" \"" + root.string() + "\""}) {
        confirmed.push_back(arg);
    }
    const RunResult awaited = run_updater(confirmed);
    ASSERT_EQ(awaited.exit_code, 0) << awaited.err;
    lines = check_progress(awaited, phases);
    EXPECT_EQ(phases, Args({"wait", "swap", "extract", "launch", "confirm", "done"}));
}

TEST_F(Progress, AReaderThatGoesAwayNeverHarmsTheDownload) {
    // The reader closes its end after the first line, while the transfer still has a second to go.
    const RunResult r = run_closing_output(
        updater_exe(), download_args(slow_url()),
        [](const std::string& out) { return out.find('\n') != std::string::npos; });
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_file(output), package_bytes);
    const Lines log = download_log();
    EXPECT_EQ(std::count(log.begin(), log.end(), kWarning), 1) << ::testing::PrintToString(log);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "info Package downloaded and verified: " + output.string());
}

TEST_F(Progress, StandardOutputClosedFromTheStartIsReportedOnceAndTakesNothing) {
    const RunResult r = run_without_output(updater_exe(), download_args(slow_url()));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    // Nothing meant for standard output landed in a file the run opened.
    EXPECT_EQ(read_file(output), package_bytes);
    const Lines log = download_log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), kWarning);
    EXPECT_EQ(std::count(log.begin(), log.end(), kWarning), 1);
    EXPECT_EQ(log.back(), "info Package downloaded and verified: " + output.string());
}

}  // namespace
