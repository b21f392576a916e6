// SER recorder: one recording at a time into a SER video file with a time stamp per frame.
#ifndef TOLVA_SER_H
#define TOLVA_SER_H

#include <sys/time.h>

#include <cstdint>

// While a recording runs, each frame's wall-clock time also goes to the side file
// "/tmp/timestamp.bin", left in place after the close. Records: seconds since 1970 as signed
// 64-bit little-endian, then the microseconds as signed 32-bit little-endian (12 bytes), so the
// seconds do not run out in 2038.

// Builds the header template: `bpp` is the stored sample width (16 or 8), `fname` the sensor init
// file path (for the Instrument field), `colorID` 8 for Bayer RGGB or 0 for monochrome.
int InitSer(int bpp, int width, int height, const char *fname, int colorID);

// Starts a recording into `wfname`: 0, or -1 when the file cannot be made (reported; the
// recorder then stays idle).
int WriteSERHeader(const char *wfname);

// The time stamp of the next frame appended: when the frame was received, which is earlier than
// its writing when it waited in the capture hand-over. Without it, WriteSERImage reads the clock.
void SetSERFrameTime(const struct timeval *received);

// Appends one frame of `BinSize` bytes and its time: 0, or -1 when nothing is recording or the
// file no longer takes frames (reported once per recording).
int WriteSERImage(unsigned char *BinImage, int BinSize, int bpp);

// While recording, brings the header's frame count up to date, at least once a second, with the
// frames that have reached the disk, so that a file left by a crash or a power cut reads as the
// frames it holds. WriteSERImage does it too; the live loop calls this on every pass for the
// recordings whose frames come seldom. Cheap: no wait on the disk. Always 0.
int UpdateSERHeader(void);

// 100-ns ticks since 0001-01-01 00:00:00 (proleptic Gregorian) of a C calendar date: `year`
// counted from 1900, `month` 0 to 11.
int64_t date2timestamp(int year, int month, int day, int hour, int minute, int second,
                       int microsec);

// Completes the recording: frame count, start times and trailer, so the file holds exactly the
// frames that were written in full. A no-op returning 0 when nothing is recording.
int CloseSER(void);

#endif
