// The program's entry point: start-up, then the live loop.
#include "tolvacapture.h"

int main(int ac, char **av)
{
    // Static: the driver's name buffers are large for a stack frame.
    static Driver d;
    int status = start_up(ac, av, d);
    return status == kRunLoop ? live_loop(d) : status;
}
