// Process-ending errors: one way out for every unit, replaceable by tests and the fuzz harness.
#include "fatal.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

[[gnu::used]] static const char __PROGRAM_VERSION__[] =
    "@(#)fatal Ver. 1.0000 (2026/12/10 10:00:00)";

namespace {

// Fatal conditions of every unit end the process with this status.
constexpr int kFatalStatus = 1;

FatalHandler Handler;

[[noreturn]] void end_process()
{
    if (Handler)
        Handler(kFatalStatus);
    std::exit(kFatalStatus);
}

} // namespace

void fatal_error(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    end_process();
}

void fatal_out_of_memory(void)
{
    std::perror("malloc error");
    end_process();
}

FatalHandler set_fatal_handler(FatalHandler handler)
{
    FatalHandler previous = Handler;
    Handler = handler;
    return previous;
}
