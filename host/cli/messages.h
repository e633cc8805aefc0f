// The tool's output routines and its two output streams.
//
// All text of the tool leaves through print_message, fatal_error and
// show_usage on the message stream, apart from the progress line (drawn on the
// progress stream) and the DFU configuration error of find_dfu_device, which
// goes to standard output. Both streams start as standard error; -s and -B
// point them at the null sink.
#pragma once

#include <stdio.h>

extern FILE* message_stream;
extern FILE* progress_stream;
extern FILE* null_sink;

// Opens the null sink on /dev/null (or, if that cannot be opened, on a stream
// that discards everything) and returns it. Called once at start-up.
FILE* open_null_sink();

// printf-style output to the message stream; nothing is added.
void print_message(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "dorvex: ", the message and "\n" on the message stream, then exit status 1.
[[noreturn]] void fatal_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The usage text for `command` ("" for the general text), then exit status 1.
[[noreturn]] void show_usage(const char* program, const char* command);
