// Starting a shell command line without waiting for it: shared by the real Pi's host services
// and the simulated Pi, which runs the user's commands for real.
#ifndef TOLVA_PLATFORM_SPAWN_SHELL_H
#define TOLVA_PLATFORM_SPAWN_SHELL_H

#include <spawn.h>
#include <sys/types.h>
#include <unistd.h> // environ

#include <cerrno>

namespace tolva {

// posix_spawn of "/bin/sh -c command" (vfork semantics: cheap also from a process with hundreds
// of MB mapped): the child's pid, or -1 with errno set.
inline pid_t spawn_shell(const char *command)
{
    char *const argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"),
                          const_cast<char *>(command), nullptr};
    pid_t pid = -1;
    int error = posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, environ);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return pid;
}

} // namespace tolva

#endif
