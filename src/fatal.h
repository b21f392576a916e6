// Process-ending errors: every unit's fatal path ends here, so that tests and the fuzz harness
// can take the exit's place and go on.
#ifndef TOLVA_FATAL_H
#define TOLVA_FATAL_H

// Called with the exit status instead of ending the process. It must not return (a test's
// handler throws); if it does, the process ends all the same.
using FatalHandler = void (*)(int status);

// Writes the message to standard error and ends the process with status 1.
[[noreturn]] void fatal_error(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Memory that cannot be had: "malloc error" and the system's reason, as perror writes it,
// then status 1.
[[noreturn]] void fatal_out_of_memory(void);

// Installs `handler` (null: end the process) and returns the one it replaces.
FatalHandler set_fatal_handler(FatalHandler handler);

#endif
