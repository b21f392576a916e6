// Process-ending errors caught instead of ending the process: while a CatchFatal lives, a unit's
// fatal path throws FatalExit after writing its message.
#ifndef TOLVA_TEST_FATAL_CATCHER_H
#define TOLVA_TEST_FATAL_CATCHER_H

#include "fatal.h"

namespace tolva::test {

struct FatalExit {
    int status; // the status the process would have ended with
};

inline void throw_fatal_exit(int status) { throw FatalExit{status}; }

class CatchFatal {
public:
    CatchFatal() : previous_(set_fatal_handler(throw_fatal_exit)) {}
    ~CatchFatal() { set_fatal_handler(previous_); }
    CatchFatal(const CatchFatal &) = delete;
    CatchFatal &operator=(const CatchFatal &) = delete;

private:
    FatalHandler previous_;
};

} // namespace tolva::test

#endif
