// dorvex: tests a ZQR-VT board (AT91RM9200) over USB and leaves the uploader
// running on it.
#include "command_line.h"

int main(int argc, char** argv) {
    CommandLine line;
    cli_start_up(&line);
    cli_read_command_line(&line, argc, argv);
    return cli_run_test();
}
