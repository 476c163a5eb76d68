// The command line as a caller sees it: exit codes, which stream each text goes to, and that
// nothing reaches the log unless a subcommand was selected and parsed.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support.h"
#include "text.h"

using namespace support;

namespace {

struct Cli : ::testing::Test {
    TempDir dir;
    RunResult run(const std::vector<std::string>& args) { return run_updater(args, dir.path()); }
    bool log_exists() const { return fs::exists(dir / "updater.log"); }
};

TEST_F(Cli, NoArgumentsDoesNothing) {
    const RunResult r = run({});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(log_exists());
}

// Every subcommand and the options it takes, as callers name them. A subcommand added to the
// program belongs here too: the help must list exactly these.
const std::map<std::string, std::vector<std::string>> subcommand_options = {
    {"apply",
     {"--pid", "--package", "--app-dir", "--version", "--exe", "--args", "--public-key",
      "--allow-downgrade", "--confirm-timeout-ms", "--progress"}},
    {"download",
     {"--url", "--output", "--sha256", "--size", "--app-dir", "--version", "--public-key",
      "--signature-url", "--progress"}},
    {"close-app", {"--exe", "--timeout-ms", "--app-dir"}},
    {"stage",
     {"--package", "--app-dir", "--version", "--exe", "--public-key", "--allow-downgrade",
      "--progress"}},
    {"confirm", {"--app-dir"}},
    {"pack",
     {"--dir", "--output", "--version", "--exe", "--secret-key", "--password-file", "--base"}},
};

// The subcommands the top-level help lists: the first word of each line below its
// "Subcommands:" heading, each of which must be followed by a description.
std::set<std::string> listed_subcommands(const std::string& help) {
    std::set<std::string> names;
    std::istringstream lines(help);
    std::string line;
    bool listing = false;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!listing) {
            listing = ascii_lower(line) == "subcommands:";
            continue;
        }
        std::istringstream words(line);
        std::string name;
        std::string description;
        if (!(words >> name)) {
            break;
        }
        EXPECT_TRUE(words >> description) << "no description for " << name;
        names.insert(name);
    }
    return names;
}

TEST_F(Cli, TopLevelHelpListsEverySubcommand) {
    std::set<std::string> expected;
    for (const auto& [name, options] : subcommand_options) {
        expected.insert(name);
    }
    for (const char* flag : {"-h", "--help"}) {
        const RunResult r = run({flag});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(listed_subcommands(r.out), expected) << r.out;
        EXPECT_EQ(r.err, "");
    }
    EXPECT_FALSE(log_exists());
}

TEST_F(Cli, SubcommandHelpNeedsNoRequiredOptions) {
    for (const auto& [name, options] : subcommand_options) {
        for (const char* flag : {"-h", "--help"}) {
            SCOPED_TRACE(name + " " + flag);
            const RunResult r = run({name, flag});
            EXPECT_EQ(r.exit_code, 0);
            EXPECT_EQ(r.err, "");
            // Every subcommand has an option it can't run without, marked as such.
            EXPECT_NE(r.out.find("REQUIRED"), std::string::npos) << r.out;
            for (const std::string& option : options) {
                EXPECT_NE(r.out.find(option), std::string::npos) << option;
            }
        }
    }
    EXPECT_FALSE(log_exists());
}

TEST_F(Cli, ParseErrorsUseTheLibraryExitCodes) {
    struct Case {
        std::vector<std::string> args;
        int code;
    };
    const std::vector<Case> cases = {
        {{"apply", "--pid", "abc", "--package", "p.zip", "--app-dir", "a", "--version", "2"}, 104},
        {{"download", "--url", "http://127.0.0.1:1/x", "--size", "ten", "--output", "o"}, 104},
        {{"close-app", "--exe", "x", "--timeout-ms", "1.5"}, 104},
        {{"download", "--url", "http://127.0.0.1:1/x"}, 106},
        {{"apply", "--pid", "1", "--package", "p.zip", "--version", "2"}, 106},
        {{"close-app"}, 106},
        // A signature URL is read only to check a signature with the keys given.
        {{"download", "--url", "u", "--output", "o", "--signature-url", "s"}, 107},
        {{"bogus"}, 109},
        {{"--nope"}, 109},
        {{"close-app", "--exe", "x", "surplus"}, 109},
        {{"close-app", "--exe"}, 114},
        {{"apply", "--pid", "1", "--package", "p", "--app-dir", "a", "--version", "2",
          "--public-key"},
         114},
        {{"download", "--url", "u", "--output", "o", "--public-key", "RW1", "RW2"}, 109},
        {{"download", "--url", "u", "v", "--output", "o"}, 109},
    };
    for (const Case& c : cases) {
        const RunResult r = run(c.args);
        EXPECT_EQ(r.exit_code, c.code) << c.args[0] << " " << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("Run with --help for more information."), std::string::npos) << r.err;
    }
    EXPECT_FALSE(log_exists());
}

TEST_F(Cli, ParseErrorLeavesAnExistingLogAlone) {
    write_file(dir / "updater.log", "earlier run\r\n");
    EXPECT_EQ(run({"download", "--url", "u"}).exit_code, 106);
    EXPECT_EQ(read_file(dir / "updater.log"), "earlier run\r\n");
}

TEST_F(Cli, OptionsBelongToTheirSubcommand) {
    // --url is download's: given to close-app it is an unexpected argument.
    EXPECT_EQ(run({"close-app", "--exe", "x", "--url", "u"}).exit_code, 109);
}

TEST_F(Cli, UnopenableLogEndsInAnOrderlyWay) {
    // --app-dir names a file, so updater.log cannot be created below it.
    write_file(dir / "plain-file", "x");
    const RunResult r = run({"close-app", "--exe", (dir / "none.exe").string(), "--app-dir",
                             (dir / "plain-file").string()});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err.rfind("updater: ", 0), 0u) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(dir / "plain-file"), "x");
}

}  // namespace
