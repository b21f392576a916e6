// The disk guard of the recordings: the free space to keep on the file system they are written to.
#ifndef TOLVA_DISK_GUARD_H
#define TOLVA_DISK_GUARD_H

#include <cstddef>

// Bytes free to this user on the file system of `directory`, as statvfs(3) gives them (f_bavail x
// f_frsize); -1 when it cannot be asked. Replaceable, so that tests can shrink the disk.
using FreeSpaceProbe = long long (*)(const char *directory);
// null restores statvfs.
void SetFreeSpaceProbe(FreeSpaceProbe probe);

// The free space to keep, in bytes; 0 turns the guard off.
void SetKeepFree(long long bytes);
long long GetKeepFree(void);

// Bytes free where recordings are written (the current directory); -1 when unknown.
long long DiskFree(void);
// 1 when `bytes` more can be written with the free space to keep left over (always with the guard
// off, and when the free space is unknown: the writers report a full disk themselves); else 0.
int DiskHasRoom(long long bytes);

// "12.3 GB": bytes in the largest unit that keeps them above 1 (decimal units, as df -H).
void format_bytes(char *out, std::size_t size, long long bytes);
// One line, how long `free_bytes` last at `bytes_per_second`: "the free space (12.3 GB, keeping
// 1.1 GB) lasts 3 h 25 min at 1.0 MB/s".
void format_lasting(char *out, std::size_t size, long long free_bytes, long long keep,
                    double bytes_per_second);

#endif
