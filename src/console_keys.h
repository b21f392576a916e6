// Keys from the terminal when there is no window: a letter and Enter, as the window's keys.
#ifndef TOLVA_CONSOLE_KEYS_H
#define TOLVA_CONSOLE_KEYS_H

// The first character of a line typed on standard input when it is a terminal and the program is
// in the foreground, without waiting: the key, or -1 when no line is complete (and always when
// standard input is no terminal, such as a service's /dev/null, or the program runs in the
// background).
int ConsoleKey(void);

#endif
