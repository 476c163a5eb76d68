#include <spdlog/spdlog.h>

#include <CLI/CLI.hpp>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "apply.h"
#include "close_app.h"
#include "confirm.h"
#include "download.h"
#include "log.h"
#include "pack.h"
#include "progress.h"
#include "stage.h"
#include "text.h"

namespace {

// Reports an error that no handler dealt with, so the run still ends in an orderly way.
int report_unexpected(const char* what) {
    std::fprintf(stderr, "updater: %s\n", what);
    if (auto logger = spdlog::get("updater")) {
        logger->error("Unexpected error: {}", what);
    }
    return 1;
}

// --public-key, repeatable for a change of keys: one key per occurrence.
// An option given once per value: `--name a --name b`, never `--name a b`.
CLI::Option* add_repeatable_option(CLI::App* subcommand, const std::string& name,
                                   std::vector<std::string>& values,
                                   const std::string& description) {
    return subcommand->add_option(name, values, description)
        ->expected(1)
        ->take_all()
        ->allow_extra_args(false);
}

CLI::Option* add_public_key_option(CLI::App* subcommand, std::vector<std::string>& keys) {
    return add_repeatable_option(subcommand, "--public-key", keys,
                                 "Publisher's public key (RW...), repeatable: the package must be "
                                 "signed by one of them");
}

void add_progress_flag(CLI::App* subcommand, bool& progress) {
    subcommand->add_flag("--progress", progress,
                         "Write progress to standard output, one JSON object per line");
}

// The run from its command line to its exit code.
int run_updater(int argc, char** argv) {
    CLI::App app{"Updater"};

    CLI::App* apply = app.add_subcommand("apply", "Apply a downloaded update");
    CLI::App* download = app.add_subcommand("download", "Download and verify an update package");
    CLI::App* close_app =
        app.add_subcommand("close-app", "Request a running app to quit and wait for it");
    CLI::App* stage = app.add_subcommand(
        "stage", "Extract an update beside the running app, for a later apply to swap in");
    CLI::App* confirm = app.add_subcommand(
        "confirm", "Confirm that the updated app works, from the app the update started");
    CLI::App* pack = app.add_subcommand(
        "pack", "Pack a build tree into a signed, reproducible package (publisher side)");

    std::string app_dir;

    std::int32_t pid = 0;
    std::string package;
    std::string version;
    std::string apply_exe = "app.exe";
    std::string args;
    apply->add_option("--pid", pid, "PID of the app process to wait for")->required();
    apply->add_option("--package", package, "Path to the update zip")->required();
    apply->add_option("--app-dir", app_dir, "Application root directory")->required();
    apply->add_option("--version", version, "New version string")->required();
    apply->add_option("--exe", apply_exe, "Main executable name");
    apply->add_option("--args", args, "Arguments to pass to new app");
    std::vector<std::string> apply_keys;
    add_public_key_option(apply, apply_keys);
    UpdateChecks apply_checks;
    apply->add_flag("--allow-downgrade", apply_checks.allow_downgrade,
                    "Install a version lower than the installed one");
    std::int64_t confirm_timeout_ms = 0;
    CLI::Option* confirm_timeout_option = apply->add_option(
        "--confirm-timeout-ms", confirm_timeout_ms,
        "Wait this long for the updated app to confirm the update, else roll back");

    std::vector<std::string> urls;
    std::string output;
    std::string sha256;
    std::int64_t size = -1;
    add_repeatable_option(download, "--url", urls, "Package URL")->required();
    download->add_option("--output", output, "Output zip path")->required();
    download->add_option("--sha256", sha256, "Expected SHA256");
    download->add_option("--size", size, "Expected size in bytes");
    download->add_option("--app-dir", app_dir, "Application root directory for updater.log");
    std::string download_version;
    CLI::Option* download_version_option =
        download->add_option("--version", download_version,
                             "Version the package's signature must name (with --public-key)");
    std::vector<std::string> download_keys;
    std::string signature_url;
    CLI::Option* download_key = add_public_key_option(download, download_keys);
    download->add_option("--signature-url", signature_url, "Signature URL (default: URL.minisig)")
        ->needs(download_key);

    std::string close_exe;
    std::int32_t timeout_ms = 30000;
    close_app->add_option("--exe", close_exe, "Executable path to close")->required();
    close_app->add_option("--timeout-ms", timeout_ms, "Timeout in milliseconds");
    close_app->add_option("--app-dir", app_dir, "Application root directory for updater.log");

    std::string stage_package;
    std::string stage_version;
    std::string stage_exe = "app.exe";
    stage->add_option("--package", stage_package, "Path to the update zip")->required();
    stage->add_option("--app-dir", app_dir, "Application root directory")->required();
    stage->add_option("--version", stage_version, "New version string")->required();
    stage->add_option("--exe", stage_exe, "Main executable name");
    std::vector<std::string> stage_keys;
    add_public_key_option(stage, stage_keys);
    bool stage_allow_downgrade = false;
    stage->add_flag("--allow-downgrade", stage_allow_downgrade,
                    "Stage a version lower than the installed one");

    confirm->add_option("--app-dir", app_dir, "Application root directory")->required();

    bool progress = false;
    add_progress_flag(apply, progress);
    add_progress_flag(download, progress);
    add_progress_flag(stage, progress);

    std::string pack_dir;
    std::string pack_output;
    std::string pack_version;
    std::string pack_exe = "app.exe";
    std::string pack_secret_key;
    std::string pack_password_file;
    pack->add_option("--dir", pack_dir, "Build tree to pack")->required();
    pack->add_option("--output", pack_output, "Package zip to write")->required();
    pack->add_option("--version", pack_version, "Version of the release")->required();
    pack->add_option("--exe", pack_exe, "Main executable name, at the top of the tree");
    CLI::Option* pack_key_option =
        pack->add_option("--secret-key", pack_secret_key, "minisign secret key to sign with");
    CLI::Option* pack_password_option =
        pack->add_option("--password-file", pack_password_file,
                         "File whose first line is the key's password (- for standard input)")
            ->needs(pack_key_option);
    std::string pack_base;
    CLI::Option* pack_base_option = pack->add_option(
        "--base", pack_base,
        "Previous full package: write a delta package that updates its installation");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    start_progress(progress);

    try {
        // apply, download and stage set up their log themselves, once they hold their lock.
        if (apply->parsed()) {
            if (confirm_timeout_option->count() > 0) {
                apply_checks.confirm_timeout_ms = confirm_timeout_ms;
            }
            return run_apply(pid, package, application_root(app_dir), to_path(apply_exe), version,
                             args, apply_keys, apply_checks);
        }
        if (download->parsed()) {
            // Given, even empty, it binds the signature; absent, it binds nothing.
            const std::optional<std::string> bound_version = download_version_option->count() > 0
                                                                 ? std::optional(download_version)
                                                                 : std::nullopt;
            return run_download(urls, to_path(output), sha256, size, application_root(app_dir),
                                download_keys, signature_url, bound_version);
        }
        if (stage->parsed()) {
            return run_stage(stage_package, application_root(app_dir), to_path(stage_exe),
                             stage_version, stage_keys, stage_allow_downgrade);
        }
        if (confirm->parsed()) {
            return run_confirm(application_root(app_dir));
        }
        if (pack->parsed()) {
            return run_pack(
                to_path(pack_dir), to_path(pack_output), pack_version, pack_exe,
                pack_key_option->count() > 0 ? std::optional(to_path(pack_secret_key))
                                             : std::nullopt,
                pack_password_option->count() > 0 ? std::optional(pack_password_file)
                                                  : std::nullopt,
                pack_base_option->count() > 0 ? std::optional(to_path(pack_base)) : std::nullopt);
        }
        if (close_app->parsed()) {
            init_logging(application_root(app_dir));
            return run_close_app(close_exe, timeout_ms);
        }
    } catch (const std::exception& e) {
        return report_unexpected(e.what());
    } catch (...) {
        return report_unexpected("unknown exception");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything opens a file: on Linux a closed standard output would be taken by it.
    prepare_progress();
    const int exit_code = run_updater(argc, argv);
    // The progress output's last line carries the exit code; a command-line error has none.
    finish_progress(exit_code);
    return exit_code;
}
