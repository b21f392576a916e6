// The units' C stdio files: one owner type, closed when it goes, or at once with the close's
// result where a full disk may show only when the buffered rest goes out.
#ifndef TOLVA_FILE_HANDLE_H
#define TOLVA_FILE_HANDLE_H

#include <cstdio>
#include <memory>

struct FileCloser {
    void operator()(std::FILE *fp) const { std::fclose(fp); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Closes the file now: 0, or EOF when what was still buffered could not be written.
inline int close_file(FileHandle &file) { return file ? std::fclose(file.release()) : 0; }

#endif
