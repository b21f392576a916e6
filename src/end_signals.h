// Ending signals: SIGINT, SIGTERM and SIGHUP end the program as q does.
#ifndef TOLVA_END_SIGNALS_H
#define TOLVA_END_SIGNALS_H

#include <signal.h>

// The program ends with status 128 + the signal's number; the same signal a second time ends
// it at once. catch_end_signals installs the handlers (a signal recorded before is forgotten;
// one ignored when the program started stays ignored), end_signal is the first one received
// since, 0 for none.
// SIGPIPE ends nothing: output to a pipe whose reader has gone is lost, the recording goes on.
void catch_end_signals();
int end_signal();

// "tolvacapture: SIGTERM received, quitting" on standard error, and the status that signal
// ends the program with.
void announce_end_signal(int sig);
int end_signal_status(int sig);

// Threads that the capture library and the window system start inherit the signal mask of the
// thread that makes them: made with the ending signals blocked, they never take one in the
// middle of a library call, and the signals go to the main thread, where they also cut short
// the sleeps of its loops.
void hold_end_signals(sigset_t *old);
void release_end_signals(const sigset_t *old);
template <typename Call> void with_end_signals_held(Call call)
{
    sigset_t old;
    hold_end_signals(&old);
    call();
    release_end_signals(&old);
}

#endif
