// The program's entry point: start-up, then the live loop.
#include "host.h"
#include "tolvacapture.h"

#include <cstdio>

int main(int ac, char **av)
{
    // Static: the driver's name buffers are large for a stack frame.
    static Driver d;
    // The platform's word comes before start-up, not from it: start-up's output is the
    // system's own, byte for byte.
    if (const char *notice = host_platform_notice())
        std::fprintf(stderr, "%s\n", notice);
    int status = start_up(ac, av, d);
    return status == kRunLoop ? live_loop(d) : status;
}
