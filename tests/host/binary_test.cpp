// The real dorvex binary, linked against the system's libusb-0.1, on a machine
// with no board attached.
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "usage_texts.h"

extern char** environ;

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string slurp(int fd) {
    std::string text;
    char chunk[4096];
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<size_t>(got));
    return text;
}

// Runs the tool with these arguments; stdout and stderr go to files.
Outcome run_tool(const std::vector<std::string>& args, bool posixly_correct = false) {
    char out_name[] = "/tmp/dorvex-out-XXXXXX";
    char err_name[] = "/tmp/dorvex-err-XXXXXX";
    const int out_fd = mkstemp(out_name);
    const int err_fd = mkstemp(err_name);
    std::vector<std::string> words = {DORVEX_BINARY};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    std::vector<std::string> env_words;
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind("POSIXLY_CORRECT=", 0) != 0)
            env_words.push_back(*e);
    if (posixly_correct)
        env_words.push_back("POSIXLY_CORRECT=1");
    std::vector<char*> envp;
    for (std::string& word : env_words)
        envp.push_back(word.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_fd, STDERR_FILENO);
    Outcome outcome;
    pid_t pid;
    if (posix_spawn(&pid, DORVEX_BINARY, &actions, nullptr, argv.data(), envp.data()) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    lseek(out_fd, 0, SEEK_SET);
    lseek(err_fd, 0, SEEK_SET);
    outcome.out = slurp(out_fd);
    outcome.err = slurp(err_fd);
    close(out_fd);
    close(err_fd);
    unlink(out_name);
    unlink(err_name);
    return outcome;
}

TEST(DorvexBinary, NoArgumentsGivesGeneralUsage) {
    const Outcome o = run_tool({});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, general_usage(DORVEX_BINARY));
    EXPECT_EQ(o.out, "");
}

TEST(DorvexBinary, HelpGivesTestUsage) {
    for (const char* help : {"-h", "--help", "--hel"}) {
        const Outcome o = run_tool({"test", help});
        EXPECT_EQ(o.status, 1) << help;
        EXPECT_EQ(o.err, test_usage(DORVEX_BINARY)) << help;
    }
}

TEST(DorvexBinary, AmbiguousAndMisspelledOptionsGiveTestUsage) {
    for (const char* option : {"--s", "--no", "--address=0", "-a"}) {
        const Outcome o = run_tool({"test", option});
        EXPECT_EQ(o.status, 1) << option;
        EXPECT_EQ(o.err, test_usage(DORVEX_BINARY)) << option;
    }
}

TEST(DorvexBinary, NoBoardIsDeviceNotFound) {
    const Outcome o = run_tool({"test"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, DEVICE_NOT_FOUND);
    EXPECT_EQ(o.out, "");
}

TEST(DorvexBinary, IgnoredOptionsRunLikeTest) {
    const Outcome o = run_tool({"test", "-a", "1234", "--size=10", "-f", "x", "-t", "y", "-n"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, DEVICE_NOT_FOUND);
}

TEST(DorvexBinary, SilentPrintsNothing) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"test", "-s"}, {"test", "-B"}, {"test", "-s", "-h"}}) {
        const Outcome o = run_tool(args);
        EXPECT_EQ(o.status, 1) << args.back();
        EXPECT_EQ(o.err, "") << args.back();
    }
}

TEST(DorvexBinary, PosixlyCorrectStopsAtTheCommandWord) {
    const Outcome o = run_tool({"test", "-s"}, true);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, DEVICE_NOT_FOUND);
}

}  // namespace
