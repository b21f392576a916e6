// What the process writes to standard output or standard error, captured for a test to compare.
#include "output_capture.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <unistd.h>

namespace tolva::test {

namespace {

[[noreturn]] void capture_fault(const char *what)
{
    std::fprintf(stderr, "output capture: %s: %s\n", what, std::strerror(errno));
    std::abort();
}

// std::cout and std::cerr share the C streams' buffers (synced by default); flushing both keeps
// what was written before a switch on the side of the switch it was written on.
void flush(std::FILE *stream)
{
    if (stream == stdout)
        std::cout.flush();
    else if (stream == stderr)
        std::cerr.flush();
    std::fflush(stream);
}

} // namespace

OutputCapture::OutputCapture(std::FILE *stream) : stream_(stream)
{
    flush(stream_);
    file_ = std::tmpfile();
    if (!file_)
        capture_fault("tmpfile");
    saved_fd_ = dup(fileno(stream_));
    if (saved_fd_ < 0)
        capture_fault("dup");
    if (dup2(fileno(file_), fileno(stream_)) < 0)
        capture_fault("dup2");
}

OutputCapture::~OutputCapture()
{
    restore();
    if (file_)
        std::fclose(file_);
}

void OutputCapture::restore()
{
    if (saved_fd_ < 0)
        return;
    flush(stream_);
    if (dup2(saved_fd_, fileno(stream_)) < 0)
        capture_fault("dup2");
    close(saved_fd_);
    saved_fd_ = -1;
}

std::string OutputCapture::text()
{
    restore();
    std::string text;
    if (!file_)
        return text;
    std::rewind(file_);
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file_)) > 0)
        text.append(chunk, n);
    std::fclose(file_);
    file_ = nullptr;
    return text;
}

namespace {

std::unique_ptr<OutputCapture> &pending(std::FILE *stream)
{
    static std::unique_ptr<OutputCapture> out, err;
    return stream == stdout ? out : err;
}

void start(std::FILE *stream, const char *name)
{
    std::unique_ptr<OutputCapture> &capture = pending(stream);
    if (capture) {
        capture->text(); // so that the message below reaches the real stderr
        std::fprintf(stderr, "output capture: %s is captured already\n", name);
        std::abort();
    }
    capture = std::make_unique<OutputCapture>(stream);
}

std::string finish(std::FILE *stream, const char *name)
{
    std::unique_ptr<OutputCapture> capture = std::move(pending(stream));
    if (!capture) {
        std::fprintf(stderr, "output capture: %s is not captured\n", name);
        std::abort();
    }
    return capture->text();
}

} // namespace

void capture_stdout() { start(stdout, "stdout"); }
std::string captured_stdout() { return finish(stdout, "stdout"); }
void capture_stderr() { start(stderr, "stderr"); }
std::string captured_stderr() { return finish(stderr, "stderr"); }

} // namespace tolva::test
