// The program's console lines kept out of a benchmark's own output: while a QuietStdout lives,
// standard output goes to /dev/null.
#ifndef TOLVA_BENCH_QUIET_STDOUT_H
#define TOLVA_BENCH_QUIET_STDOUT_H

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace tolva::bench {

class QuietStdout {
public:
    QuietStdout() : saved_(dup(STDOUT_FILENO))
    {
        std::fflush(stdout);
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~QuietStdout()
    {
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
    QuietStdout(const QuietStdout &) = delete;
    QuietStdout &operator=(const QuietStdout &) = delete;

private:
    int saved_;
};

} // namespace tolva::bench

#endif
