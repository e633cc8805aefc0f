// The command line: command word, options, usage texts, the null sink and the
// exit statuses, run in a child process each (usage texts and fatal errors end
// the process).
#include <stdlib.h>

#include "cli/command_line.h"
#include "cli/messages.h"
#include "host_test.h"
#include "usage_texts.h"

namespace {

const char PROGRAM[] = "./tools/dorvex-under-test";

enum class Expect { General, TestUsage, NotFound, Nothing };

struct CommandLineCase {
    const char* name;
    std::vector<std::string> args;  // after the program name
    bool posixly_correct;
    Expect expect;
};

std::string expected_text(Expect expect) {
    switch (expect) {
    case Expect::General: return general_usage(PROGRAM);
    case Expect::TestUsage: return test_usage(PROGRAM);
    case Expect::NotFound: return DEVICE_NOT_FOUND;
    case Expect::Nothing: return "";
    }
    return "?";
}

// The whole of main, against the fake library with no board attached.
void run_main(const std::vector<std::string>& args, bool posixly_correct) {
    if (posixly_correct)
        setenv("POSIXLY_CORRECT", "1", 1);
    else
        unsetenv("POSIXLY_CORRECT");
    std::vector<std::string> words = {PROGRAM};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    CommandLine line;
    cli_start_up(&line);
    cli_read_command_line(&line, static_cast<int>(words.size()), argv.data());
    exit(cli_run_test() == 0 ? 0 : 2);  // no board: never returns 0
}

class CommandLineTexts : public HostTest, public ::testing::WithParamInterface<CommandLineCase> {};

TEST_P(CommandLineTexts, PrintExactlyThisAndExitWithOne) {
    const CommandLineCase& c = GetParam();
    EXPECT_EXIT(run_main(c.args, c.posixly_correct), ::testing::ExitedWithCode(1),
                ::testing::Eq(expected_text(c.expect)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineTexts,
    ::testing::Values(
        CommandLineCase{"NoArguments", {}, false, Expect::General},
        CommandLineCase{"OptionBeforeCommand", {"-s", "test"}, false, Expect::General},
        CommandLineCase{"HelpBeforeCommand", {"-h"}, false, Expect::General},
        CommandLineCase{"CommandIsCaseSensitive", {"Test"}, false, Expect::General},
        CommandLineCase{"CommandIsNotAbbreviated", {"tes"}, false, Expect::General},
        CommandLineCase{"UnknownCommand", {"flash", "test"}, false, Expect::General},
        CommandLineCase{"ShortHelp", {"test", "-h"}, false, Expect::TestUsage},
        CommandLineCase{"LongHelp", {"test", "--help"}, false, Expect::TestUsage},
        CommandLineCase{"AbbreviatedHelp", {"test", "--hel"}, false, Expect::TestUsage},
        CommandLineCase{"AmbiguousS", {"test", "--s"}, false, Expect::TestUsage},
        CommandLineCase{"AmbiguousNo", {"test", "--no"}, false, Expect::TestUsage},
        CommandLineCase{"UnknownShortOption", {"test", "-x"}, false, Expect::TestUsage},
        CommandLineCase{"UnknownLongOption", {"test", "--verbose"}, false, Expect::TestUsage},
        CommandLineCase{"CorrectlySpelledAddressIsUnknown", {"test", "--address=0"}, false, Expect::TestUsage},
        CommandLineCase{"MissingShortValue", {"test", "-a"}, false, Expect::TestUsage},
        CommandLineCase{"MissingLongValue", {"test", "--size"}, false, Expect::TestUsage},
        CommandLineCase{"ValueToFlag", {"test", "--help=yes"}, false, Expect::TestUsage},
        CommandLineCase{"ValueToNoseek", {"test", "--noseek=1"}, false, Expect::TestUsage},
        CommandLineCase{"HelpAfterOtherWords", {"test", "-n", "extra", "-h"}, false, Expect::TestUsage},
        CommandLineCase{"SilentThenHelpPrintsNothing", {"test", "-s", "-h"}, false, Expect::Nothing},
        CommandLineCase{"NobarThenBadOptionPrintsNothing", {"test", "-B", "-x"}, false, Expect::Nothing},
        CommandLineCase{"HelpThenSilentPrintsUsage", {"test", "-h", "-s"}, false, Expect::TestUsage},
        CommandLineCase{"PlainTest", {"test"}, false, Expect::NotFound},
        CommandLineCase{"AllValuesAndNoseek",
                        {"test", "-a", "1234", "--size=10", "-f", "x", "-t", "y", "-n"}, false, Expect::NotFound},
        CommandLineCase{"LongValuesInNextArgument", {"test", "--file", "x", "--text", "y"}, false, Expect::NotFound},
        CommandLineCase{"AdderssPrefix", {"test", "--add=5"}, false, Expect::NotFound},
        CommandLineCase{"AdderssFullName", {"test", "--adderss", "0x200"}, false, Expect::NotFound},
        CommandLineCase{"ExtraWordsIgnored", {"test", "extra", "words"}, false, Expect::NotFound},
        CommandLineCase{"DoubleDashEndsOptions", {"test", "--", "-h"}, false, Expect::NotFound},
        CommandLineCase{"SilentHidesFatalError", {"test", "-s"}, false, Expect::Nothing},
        CommandLineCase{"NobarHidesFatalError", {"test", "--nobar"}, false, Expect::Nothing},
        CommandLineCase{"SilentPrefix", {"test", "--sil"}, false, Expect::Nothing},
        CommandLineCase{"AmbiguousSi", {"test", "--si"}, false, Expect::TestUsage},
        CommandLineCase{"PosixlyCorrectIgnoresSilent", {"test", "-s"}, true, Expect::NotFound},
        CommandLineCase{"PosixlyCorrectIgnoresHelp", {"test", "-h"}, true, Expect::NotFound},
        CommandLineCase{"PosixlyCorrectStillNeedsCommandFirst", {"-s", "test"}, true, Expect::General}),
    [](const ::testing::TestParamInfo<CommandLineCase>& info) { return std::string(info.param.name); });

// The option vocabulary takes effect in main's order: start-up first (USB
// library initialised before the command line is read), then the search.
TEST_F(HostTest, StartUpInitialisesTheLibraryBeforeAnySearch) {
    CommandLine line;
    cli_start_up(&line);
    EXPECT_EQ(line.command[0], '\0');
    EXPECT_EQ(line.address, nullptr);
    EXPECT_EQ(message_stream, stderr);
    EXPECT_EQ(progress_stream, stderr);
    ASSERT_NE(null_sink, nullptr);
    EXPECT_EQ(fake.log, std::vector<std::string>{"init"});
}

TEST_F(HostTest, OptionValuesAreStored) {
    CommandLine line;
    cli_start_up(&line);
    message_stream = messages_.stream();
    unsetenv("POSIXLY_CORRECT");
    std::vector<std::string> words = {PROGRAM, "test", "-a", "1234", "--size=10", "--fi", "x", "-ty"};
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    cli_read_command_line(&line, static_cast<int>(words.size()), argv.data());
    EXPECT_STREQ(line.command, "test");
    EXPECT_STREQ(line.address, "1234");
    EXPECT_STREQ(line.size, "10");
    EXPECT_STREQ(line.file, "x");
    EXPECT_STREQ(line.text, "y");
    EXPECT_EQ(message_stream, messages_.stream()) << "no -s or -B given: the streams stay";
}

TEST_F(HostTest, SilentPointsBothStreamsAtTheNullSink) {
    CommandLine line;
    cli_start_up(&line);
    unsetenv("POSIXLY_CORRECT");
    std::vector<std::string> words = {PROGRAM, "test", "-B"};
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    cli_read_command_line(&line, static_cast<int>(words.size()), argv.data());
    EXPECT_EQ(message_stream, null_sink);
    EXPECT_EQ(progress_stream, null_sink);
}

// The output routines themselves.
TEST_F(HostTest, PrintMessageAddsNothing) {
    print_message("a%db", 5);
    print_message("%s", "");
    print_message("line\n");
    EXPECT_EQ(messages(), "a5bline\n");
}

TEST_F(HostTest, FatalErrorPrefixesNameAddsNewlineAndExitsWithOne) {
    messages_to_stderr();
    EXPECT_EXIT(fatal_error("%s %d", "code", 7), ::testing::ExitedWithCode(1), ::testing::Eq("dorvex: code 7\n"));
}

TEST_F(HostTest, FatalErrorWithOwnNewlineLeavesAnEmptyLine) {
    messages_to_stderr();
    EXPECT_EXIT(fatal_error("error: setting config 1 failed\n"), ::testing::ExitedWithCode(1),
                ::testing::Eq("dorvex: error: setting config 1 failed\n\n"));
}

TEST_F(HostTest, ShowUsageUsesTheProgramNameUnchanged) {
    messages_to_stderr();
    EXPECT_EXIT(show_usage("/opt/x y/dorvex", ""), ::testing::ExitedWithCode(1),
                ::testing::Eq(general_usage("/opt/x y/dorvex")));
    EXPECT_EXIT(show_usage("dorvex", "test"), ::testing::ExitedWithCode(1), ::testing::Eq(test_usage("dorvex")));
}

TEST_F(HostTest, NullSinkSwallowsOutput) {
    ASSERT_NE(null_sink, nullptr);
    message_stream = null_sink;
    print_message("gone\n");
    EXPECT_EQ(fflush(null_sink), 0);
    EXPECT_EQ(messages(), "");
}

}  // namespace
