// Helpers shared by the tests: scratch files and exact-text matching of process output.
#ifndef TOLVA_TEST_SUPPORT_H
#define TOLVA_TEST_SUPPORT_H

#include <cstdio>
#include <filesystem>
#include <string>

namespace tolva::test {

// Whether this build runs under AddressSanitizer or ThreadSanitizer: GCC defines a macro for
// each, clang answers a feature test.
#if defined(__has_feature)
#define TOLVA_TEST_HAS_FEATURE(name) __has_feature(name)
#else
#define TOLVA_TEST_HAS_FEATURE(name) 0
#endif
constexpr bool kAddressSanitizer =
#if defined(__SANITIZE_ADDRESS__) || TOLVA_TEST_HAS_FEATURE(address_sanitizer)
    true;
#else
    false;
#endif
constexpr bool kThreadSanitizer =
#if defined(__SANITIZE_THREAD__) || TOLVA_TEST_HAS_FEATURE(thread_sanitizer)
    true;
#else
    false;
#endif

// A scratch directory of its own, removed with everything in it when the object goes.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &path() const { return path_; }
    // Writes `content` to a file of that name in the directory and returns its path.
    std::string write(const std::string &name, const std::string &content) const;

private:
    std::string path_;
};

// While it lives, the process works in `dir`, which is also its HOME (so no script of the real
// home is found); both are given back when it goes.
class WorkIn {
public:
    explicit WorkIn(const std::string &dir);
    ~WorkIn();
    WorkIn(const WorkIn &) = delete;
    WorkIn &operator=(const WorkIn &) = delete;

private:
    std::filesystem::path old_dir_;
    std::string old_home_;
};

std::string read_file(const std::string &path);
// All that is left in `file`, which is closed; "" for none.
std::string read_stream(std::FILE *file);

// A regular expression for death tests that matches exactly `text` (the whole output).
std::string exactly(const std::string &text);

// Path of a file in the source tree (tests run with TOLVA_SOURCE_DIR set by ctest).
std::string source_path(const std::string &relative);

} // namespace tolva::test

#endif
