// The sensor init file's text, read once for a run: the scans and the interpreter all read it.
#include "init_file.h"

#include "file_handle.h"

#include <cstdio>

namespace {

// The driver's init file, from keep_init_file to the end of the process.
std::string KeptPath;
std::string KeptText;
bool Kept = false;

// Init files are a few kilobytes; a path to a device that never ends (/dev/zero) must not fill
// the memory.
constexpr std::size_t kMaxInitFileBytes = std::size_t{16} << 20;

bool read_whole(const char *fname, std::string &text)
{
    FileHandle fp(std::fopen(fname, "r"));
    if (!fp)
        return false;
    text.clear();
    char chunk[4096];
    std::size_t n;
    while (text.size() <= kMaxInitFileBytes &&
           (n = std::fread(chunk, 1, sizeof chunk, fp.get())) > 0)
        text.append(chunk, n);
    if (text.size() > kMaxInitFileBytes) {
        std::fprintf(stderr, "tolvacapture: %s is longer than %zu bytes: not an init file\n", fname,
                     kMaxInitFileBytes);
        return false;
    }
    return !std::ferror(fp.get()); // a directory opens but cannot be read
}

} // namespace

bool keep_init_file(const char *fname)
{
    Kept = read_whole(fname, KeptText);
    KeptPath = Kept ? fname : "";
    return Kept;
}

bool read_init_file(const char *fname, std::string &text)
{
    if (Kept && KeptPath == fname) {
        text = KeptText;
        return true;
    }
    return read_whole(fname, text);
}
