// Start-up, command-line reading and the run of the `test` command. `main`
// calls these three in order.
#pragma once

enum : int { COMMAND_WORD_SIZE = 32 };

struct CommandLine {
    char command[COMMAND_WORD_SIZE];  // "test" after a successful read
    const char* address;              // -a/--adderss: accepted, not used
    const char* size;                 // -S/--size: accepted, not used
    const char* file;                 // -f/--file: accepted, not used
    const char* text;                 // -t/--text: accepted, not used
};

// Clears the command line, opens the null sink, points the message and
// progress streams at standard error and starts the USB library.
void cli_start_up(CommandLine* line);

// Reads the command word and the options. Returns only when the command word
// is "test" and every option was good; otherwise shows a usage text and exits
// with status 1.
void cli_read_command_line(CommandLine* line, int argc, char** argv);

// The `test` command: returns 0 after a complete run; every failure ends the
// process with status 1 through fatal_error.
int cli_run_test();
