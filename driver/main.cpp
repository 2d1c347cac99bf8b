#include "driver/driver.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

int wmain(int argc, wchar_t** argv) {
    // Binary mode: the text mode of the C runtime would turn every "\r\n" into "\r\r\n" when the
    // output is redirected to a log file or a pipe.
    _setmode(_fileno(stdout), _O_BINARY);
    return RunCorvane(argc, argv);
}
