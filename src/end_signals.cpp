// Ending signals: the handlers only record a signal; the main thread acts on it between passes.
#include "end_signals.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>

namespace {

struct EndSignalKind {
    int number;
    const char *name;
};
const EndSignalKind kEndSignals[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};
// Written by the handlers, on whichever thread a signal reaches; read by the main thread.
std::atomic<int> EndSignal{0};
std::atomic<unsigned int> EndSignalsSeen{0}; // one bit per signal number
static_assert(std::atomic<int>::is_always_lock_free &&
                  std::atomic<unsigned int>::is_always_lock_free,
              "signal handlers may only use lock-free atomics");

void set_disposition(int sig, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = handler == SIG_DFL ? 0 : SA_RESTART;
    sigaction(sig, &action, nullptr);
}

// Async-signal-safe: lock-free atomics, sigaction and raise only. A signal that comes again
// ends the program at once: its default action is restored and it is raised anew (delivered as
// soon as this handler returns).
void record_end_signal(int sig)
{
    int saved_errno = errno;
    unsigned int bit = 1u << sig;
    if (EndSignalsSeen.fetch_or(bit) & bit) {
        set_disposition(sig, SIG_DFL);
        raise(sig);
    } else {
        int none = 0;
        EndSignal.compare_exchange_strong(none, sig);
    }
    errno = saved_errno;
}

// Writes to a pipe whose reader has gone fail with EPIPE instead of ending the program. A
// handler rather than SIG_IGN: commands run through the shell get the default action back.
void ignore_signal(int) {}

const char *end_signal_name(int sig)
{
    for (const EndSignalKind &kind : kEndSignals)
        if (kind.number == sig)
            return kind.name;
    return "a signal";
}

} // namespace

// A signal that was ignored when the program started stays ignored: whoever started it asked
// for that (nohup, a job that a script started in the background).
void catch_end_signals()
{
    EndSignal = 0;
    EndSignalsSeen = 0;
    for (const EndSignalKind &kind : kEndSignals) {
        struct sigaction current;
        sigaction(kind.number, nullptr, &current);
        if (current.sa_handler != SIG_IGN)
            set_disposition(kind.number, record_end_signal);
    }
    set_disposition(SIGPIPE, ignore_signal);
}

int end_signal() { return EndSignal.load(); }

void announce_end_signal(int sig)
{
    std::fprintf(stderr, "tolvacapture: %s received, quitting\n", end_signal_name(sig));
}

int end_signal_status(int sig) { return 128 + sig; }

void hold_end_signals(sigset_t *old)
{
    sigset_t held;
    sigemptyset(&held);
    for (const EndSignalKind &kind : kEndSignals)
        sigaddset(&held, kind.number);
    pthread_sigmask(SIG_BLOCK, &held, old);
}

void release_end_signals(const sigset_t *old) { pthread_sigmask(SIG_SETMASK, old, nullptr); }
