// Frame output basics: file base names, time stamps, the wall clock and the headerless RAW dump.
#ifndef TOLVA_UTIL_H
#define TOLVA_UTIL_H

#include <cstddef>
#include <ctime>

// std::tm counts years from this one.
constexpr int kTmYearBase = 1900;

// Wall-clock seconds since the Unix epoch, microsecond resolution.
double GetTime(void);

// Local time stamp YYMMDD_hhmmss_uuuuuu (year modulo 2000) of one clock reading. The result is a
// static buffer that the next call overwrites.
char *CreateDateTime(void);

// "WIDTHxHEIGHT_STAMP": the base name of every output file. Static buffer, overwritten by the
// next call; callers copy it before appending an extension.
char *MakeFileName(int width, int height);

// Writes `size` bytes of `raw` into a new file `fname`: 0 on success, -1 on failure (no file,
// short write, or nothing to write).
int WriteRAW(const char *fname, unsigned char *raw, int size);

// The formatting step of CreateDateTime, from a broken-down local time and the microseconds of
// the same reading; returns the same static buffer.
char *format_date_time(const std::tm &local, int microseconds);

// Creates (or truncates) `fname` and writes `size` bytes of `data` into it: 0; kFileNotCreated
// when it cannot be created (errno says why, nothing is printed); kFileNotWritten when the data
// did not all reach it, reported as report_write_failure does.
constexpr int kFileNotCreated = -1;
constexpr int kFileNotWritten = -2;
int write_whole_file(const char *fname, const void *data, size_t size);

// Console reports shared by the file writers: "can't open NAME" on standard output (the text users
// know from every writer), and a failed write with the system's reason on standard error.
void report_open_failure(const char *fname);
void report_write_failure(const char *fname);

// Opens a file of a fixed name in a directory that every user may write (/tmp) for writing,
// without truncating it, refusing anything another user could have put there to turn the
// write against this one: a symbolic link, a directory or other non-regular file, a file of
// another user (which that user could still replace), a file with other hard links. A new file
// is made 0600. The descriptor; -1 with errno when it cannot be opened, or -1 with `refusal`
// saying what the file is when it was refused.
int open_private_file(const char *path, const char **refusal);

// "can't use NAME: REFUSAL" on standard error.
void report_refused_file(const char *fname, const char *refusal);

// Removes the white space at the end of a line read from a text file, its new line included.
void striptail(char *s);

#endif
