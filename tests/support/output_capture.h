// What the process writes to standard output or standard error, captured for a test to compare.
#ifndef TOLVA_TEST_OUTPUT_CAPTURE_H
#define TOLVA_TEST_OUTPUT_CAPTURE_H

#include <cstdio>
#include <string>

namespace tolva::test {

// While an OutputCapture lives, everything written to `stream` goes to a temporary file: through
// the C stream, std::cout/std::cerr or its file descriptor alike, from any thread, and from
// children that inherit the descriptor. Captures of one stream nest; they end in reverse order.
class OutputCapture {
public:
    explicit OutputCapture(std::FILE *stream);
    ~OutputCapture();
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;

    // Ends the capture (the stream writes where it did before) and returns what was written.
    std::string text();

private:
    void restore();

    std::FILE *stream_;
    int saved_fd_ = -1; // the stream's own descriptor while the capture lasts
    std::FILE *file_ = nullptr;
};

// One capture per stream that spans statements: capture_stdout() starts it, captured_stdout()
// ends it and returns the text. Starting a second one before the first ended is a test fault.
void capture_stdout();
std::string captured_stdout();
void capture_stderr();
std::string captured_stderr();

} // namespace tolva::test

#endif
