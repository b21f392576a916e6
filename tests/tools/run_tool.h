// Runs the independent file checkers of tests/tools with Debian's Python and collects their
// verdict.
#ifndef TOLVA_TESTS_RUN_TOOL_H
#define TOLVA_TESTS_RUN_TOOL_H

#include "test_support.h"

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace tolva::test {

struct ToolResult {
    int status; // the exit status, -1 when the tool did not end normally
    std::string output;
};

// Runs tests/tools/SCRIPT with ARGUMENTS (already quoted for the shell), output and errors
// together.
inline ToolResult run_tool(const std::string &script, const std::string &arguments)
{
    std::string command =
        "/usr/bin/python3 '" + source_path("tests/tools/" + script) + "' " + arguments + " 2>&1";
    ToolResult result{-1, ""};
    std::FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return {-1, "can't run " + command};
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0)
        result.output.append(chunk, got);
    int status = pclose(pipe);
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    return result;
}

inline std::string shell_word(const std::string &word) { return "'" + word + "'"; }

} // namespace tolva::test

#endif
