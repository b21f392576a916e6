// Keys from the terminal: a complete line is read without waiting; its first character is the key.
#include "console_keys.h"

#include <poll.h>
#include <unistd.h>

#include <cctype>

namespace {

// A terminal that was closed (end of file, or an error) is not asked again.
bool Closed = false;

} // namespace

int ConsoleKey(void)
{
    if (Closed || !isatty(STDIN_FILENO))
        return -1;
    // A job in the background leaves the terminal to the shell: reading it would stop the
    // program (SIGTTIN) until it is brought to the foreground.
    if (tcgetpgrp(STDIN_FILENO) != getpgrp())
        return -1;
    struct pollfd in = {STDIN_FILENO, POLLIN, 0};
    if (poll(&in, 1, 0) <= 0)
        return -1;
    // A terminal in its usual line mode hands over whole lines: one read takes the line typed.
    char line[256];
    ssize_t got = read(STDIN_FILENO, line, sizeof line);
    if (got <= 0) {
        Closed = true;
        return -1;
    }
    for (ssize_t i = 0; i < got; ++i)
        if (!std::isspace(static_cast<unsigned char>(line[i])))
            return static_cast<unsigned char>(line[i]);
    return -1;
}
