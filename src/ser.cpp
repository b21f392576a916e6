// SER recorder: writes SER video files (178-byte header, frames, a UTC time stamp per frame).
#include "ser.h"
#include "ser_testing.h"

#include "fatal.h"
#include "file_handle.h"
#include "fits.h"
#include "util.h"

#include <aio.h>
#include <fcntl.h>
#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

[[gnu::used]] static const char __PROGRAM_VERSION__[] = "@(#)ser Ver. 1.0030 (2021/10/04 10:46:59)";

// Recordings pass 2 GiB: every file offset of the recorder is an off_t and must be 64 bits wide,
// also on 32-bit ARM (the build defines _FILE_OFFSET_BITS=64).
static_assert(sizeof(off_t) == 8, "SER recordings need 64-bit file offsets");

const char *TimeStampFile = "/tmp/timestamp.bin";

// The template is built once by InitSer and kept to the end of the process; the recording state
// lives from WriteSERHeader to CloseSER. Main thread only.
namespace {

// The SER header: 178 bytes, integers little-endian, text fields blank-filled without a NUL.
constexpr int kHeaderSize = 178;
constexpr char kFileId[] = "LUCAM-RECORDER";
constexpr int kFileIdBytes = sizeof kFileId - 1;
constexpr int kColorIdAt = 18;
constexpr int kWidthAt = 26;
constexpr int kHeightAt = 30;
constexpr int kPixelDepthAt = 34;
constexpr off_t kFrameCountAt = 38;
constexpr int kObserverAt = 42;
constexpr int kInstrumentAt = 82;
constexpr int kTelescopeAt = 122;
constexpr off_t kDateTimeAt = 162;
constexpr off_t kDateTimeUtcAt = 170;
constexpr int kTextField = 40;
constexpr int kStampBytes = 8;       // one signed 64-bit tick count a frame in the trailer
constexpr int kSideRecordBytes = 12; // side file: 64-bit seconds, 32-bit microseconds
constexpr int64_t kTicksPerMicrosecond = 10;
// While recording, the header's frame count is brought up to date this often, so that a file
// left by a crash or a power cut reads as the frames it holds.
constexpr int64_t kCountRefreshNs = 1000000000;

// Wall-clock time of one written frame and where that frame ends in the file.
struct Stamp {
    int64_t seconds;
    int32_t microseconds;
    off_t frame_end;
};

unsigned char *SerHeader;
char sensorname2[kSensorNameMax + 1];
int32_t FrameCount;
int SerFd = -1;            // the SER file of the current recording, -1 when idle
FileHandle fpTS;           // the side file, null when it could not be written
std::string SerName;       // names the SER file in messages
off_t FramesEnd;           // end of the last frame written in full
std::vector<Stamp> Stamps; // the trailer's source, kept in memory whatever the side file does
bool SerFailed;            // a frame did not fit: the file takes no more frames
bool SerReported;          // one message a recording for the SER file
timeval tv;
bool FrameTimeGiven; // SetSERFrameTime gave the next frame's time in tv

// The frame count in the header names only frames that have reached the disk: a background
// fdatasync (POSIX asynchronous I/O: the C library's own thread waits for the disk, never the
// live loop) covers the frames written before it began, and when it has completed the count of
// those frames is written at offset 38. The next sync takes that count to the disk in turn.
aiocb SyncRequest;
bool SyncPending;      // SyncRequest is under way
int32_t SyncedFrames;  // frames the pending sync covers
int32_t CountInHeader; // the frame count the header holds now
int64_t LastSyncStart; // monotonic nanoseconds

void put_le(unsigned char *dst, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        dst[i] = static_cast<unsigned char>(value >> (8 * i));
}

void put_text_field(unsigned char *dst, const char *text)
{
    char field[kTextField + 1];
    std::snprintf(field, sizeof field, "%-40s", text);
    std::memcpy(dst, field, kTextField);
}

bool write_all(int fd, const unsigned char *data, size_t size)
{
    while (size > 0) {
        ssize_t done = write(fd, data, size);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        data += done;
        size -= static_cast<size_t>(done);
    }
    return true;
}

bool write_all_at(int fd, const unsigned char *data, size_t size, off_t offset)
{
    return lseek(fd, offset, SEEK_SET) == offset && write_all(fd, data, size);
}

bool write_le_at(int fd, uint64_t value, int bytes, off_t offset)
{
    unsigned char field[8];
    put_le(field, value, bytes);
    return write_all_at(fd, field, bytes, offset);
}

void report_ser_failure()
{
    if (!SerReported)
        report_write_failure(SerName.c_str());
    SerReported = true;
}

int64_t monotonic_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// pwrite: the frames go on at the file position, which this leaves alone.
void write_frame_count(int32_t frames)
{
    unsigned char field[4];
    put_le(field, static_cast<uint32_t>(frames), 4);
    if (pwrite(SerFd, field, sizeof field, kFrameCountAt) != static_cast<ssize_t>(sizeof field))
        report_ser_failure();
    CountInHeader = frames;
}

void start_sync(int64_t now)
{
    LastSyncStart = now;
    SyncRequest = aiocb{};
    SyncRequest.aio_fildes = SerFd;
    SyncRequest.aio_sigevent.sigev_notify = SIGEV_NONE;
    if (aio_fsync(O_DSYNC, &SyncRequest) == 0) {
        SyncPending = true;
        SyncedFrames = FrameCount;
    } else {
        // No background sync to be had: the count at least survives the end of the program.
        write_frame_count(FrameCount);
    }
}

// A sync that has completed puts its count into the header. A failed sync (a device that
// cannot sync) changes nothing in that: the count then stands for the frames written.
bool take_completed_sync()
{
    if (aio_error(&SyncRequest) == EINPROGRESS)
        return false;
    aio_return(&SyncRequest);
    SyncPending = false;
    write_frame_count(SyncedFrames);
    return true;
}

void refresh_frame_count()
{
    if (SyncPending && !take_completed_sync())
        return;
    int64_t now = monotonic_ns();
    if (FrameCount != CountInHeader && now - LastSyncStart >= kCountRefreshNs)
        start_sync(now);
}

// Before the file is completed and closed: the sync uses its descriptor.
void wait_for_sync()
{
    const aiocb *const requests[] = {&SyncRequest};
    while (SyncPending && !take_completed_sync())
        aio_suspend(requests, 1, nullptr);
}

FileHandle open_side_file()
{
    const char *refusal;
    int fd = open_private_file(TimeStampFile, &refusal);
    if (fd < 0) {
        if (refusal)
            report_refused_file(TimeStampFile, refusal);
        else
            report_open_failure(TimeStampFile);
        return nullptr;
    }
    FileHandle fp(ftruncate(fd, 0) == 0 ? fdopen(fd, "wb") : nullptr);
    if (!fp) {
        report_write_failure(TimeStampFile);
        close(fd);
    }
    return fp;
}

void drop_side_file()
{
    report_write_failure(TimeStampFile);
    fpTS.reset();
}

void append_side_record(const Stamp &stamp)
{
    if (!fpTS)
        return;
    unsigned char record[kSideRecordBytes];
    put_le(record, static_cast<uint64_t>(stamp.seconds), 8);
    put_le(record + 8, static_cast<uint32_t>(stamp.microseconds), 4);
    if (std::fwrite(record, sizeof record, 1, fpTS.get()) != 1)
        drop_side_file();
}

void close_side_file()
{
    if (close_file(fpTS) != 0)
        report_write_failure(TimeStampFile);
}

int64_t ticks_of(const std::tm &t, int microseconds)
{
    return date2timestamp(t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                          microseconds);
}

int64_t utc_ticks(const Stamp &stamp)
{
    std::time_t seconds = static_cast<std::time_t>(stamp.seconds);
    std::tm utc;
    gmtime_r(&seconds, &utc);
    return ticks_of(utc, stamp.microseconds);
}

int64_t local_ticks(const Stamp &stamp)
{
    std::time_t seconds = static_cast<std::time_t>(stamp.seconds);
    std::tm local;
    localtime_r(&seconds, &local);
    return ticks_of(local, stamp.microseconds);
}

void print_time(const std::tm &t, int microseconds, const char *label)
{
    std::printf("%04d-%02d-%02d %02d:%02d:%02d.%06d %s\n", t.tm_year + kTmYearBase, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, microseconds, label);
}

// Writes the trailer after the last whole frame and cuts the file there. When the disk is full,
// the last frames are given up one by one until the trailer fits, so that frames, count and
// trailer always agree.
void write_trailer()
{
    for (;;) {
        std::vector<unsigned char> trailer(Stamps.size() * kStampBytes);
        for (size_t i = 0; i < Stamps.size(); ++i)
            put_le(&trailer[i * kStampBytes], static_cast<uint64_t>(utc_ticks(Stamps[i])),
                   kStampBytes);
        off_t end = FramesEnd + static_cast<off_t>(trailer.size());
        if (write_all_at(SerFd, trailer.data(), trailer.size(), FramesEnd) &&
            ftruncate(SerFd, end) == 0)
            return;
        report_ser_failure();
        if (Stamps.empty()) {
            ftruncate(SerFd, FramesEnd);
            return;
        }
        Stamps.pop_back();
        FramesEnd = Stamps.empty() ? kHeaderSize : Stamps.back().frame_end;
    }
}

// Frame count and the first frame's local and UTC times; a recording without frames keeps zero
// times, as the template has them.
void complete_header()
{
    FrameCount = static_cast<int32_t>(Stamps.size());
    bool written = write_le_at(SerFd, static_cast<uint32_t>(FrameCount), 4, kFrameCountAt);
    if (!Stamps.empty()) {
        const Stamp &first = Stamps.front();
        std::time_t seconds = static_cast<std::time_t>(first.seconds);
        std::tm local, utc;
        localtime_r(&seconds, &local);
        gmtime_r(&seconds, &utc);
        written = write_le_at(SerFd, local_ticks(first), 8, kDateTimeAt) && written;
        // The label stays "JST" whatever the machine's zone: readers of the console expect it.
        print_time(local, first.microseconds, "JST");
        written = write_le_at(SerFd, utc_ticks(first), 8, kDateTimeUtcAt) && written;
        print_time(utc, first.microseconds, "UTC");
    }
    if (!written)
        report_ser_failure();
}

} // namespace

int InitSer(int bpp, int width, int height, const char *fname, int colorID)
{
    GetSensorName(fname, sensorname2);
    std::free(SerHeader); // a new geometry replaces the old template
    SerHeader = static_cast<unsigned char *>(std::malloc(kHeaderSize));
    if (!SerHeader)
        fatal_out_of_memory();
    std::memset(SerHeader, 0, kHeaderSize);
    std::memcpy(SerHeader, kFileId, kFileIdBytes);
    put_le(SerHeader + kColorIdAt, static_cast<uint32_t>(colorID), 4);
    put_le(SerHeader + kWidthAt, static_cast<uint32_t>(width), 4);
    put_le(SerHeader + kHeightAt, static_cast<uint32_t>(height), 4);
    put_le(SerHeader + kPixelDepthAt, static_cast<uint32_t>(bpp), 4);
    put_text_field(SerHeader + kObserverAt, "Observer");
    put_text_field(SerHeader + kInstrumentAt, sensorname2);
    put_text_field(SerHeader + kTelescopeAt, "Telescope");
    return 0;
}

int WriteSERHeader(const char *wfname)
{
    CloseSER(); // one recording at a time: a recording still open is completed first
    FrameCount = 0;
    Stamps.clear();
    SerName = wfname;
    SerFailed = false;
    SerReported = false;
    SerFd = open(wfname, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (SerFd < 0) {
        report_open_failure(wfname);
        return -1;
    }
    if (!write_all(SerFd, SerHeader, kHeaderSize)) {
        report_ser_failure();
        close(SerFd);
        SerFd = -1;
        return -1;
    }
    FramesEnd = kHeaderSize;
    CountInHeader = 0;
    LastSyncStart = monotonic_ns() - kCountRefreshNs; // the first frame is counted at once
    std::printf("Rec Start.\n");
    fpTS = open_side_file();
    return 0;
}

void SetSERFrameTime(const struct timeval *received)
{
    tv = *received;
    FrameTimeGiven = true;
}

int WriteSERImage(unsigned char *BinImage, int BinSize, int bpp)
{
    (void)bpp; // the sample width is fixed by the header template
    if (SerFd < 0 || SerFailed || BinSize < 0)
        return -1;
    if (!FrameTimeGiven)
        gettimeofday(&tv, nullptr);
    FrameTimeGiven = false;
    if (!write_all(SerFd, BinImage, static_cast<size_t>(BinSize))) {
        SerFailed = true;
        report_ser_failure();
        return -1;
    }
    FramesEnd = lseek(SerFd, 0, SEEK_CUR);
    ++FrameCount;
    Stamps.push_back({tv.tv_sec, static_cast<int32_t>(tv.tv_usec), FramesEnd});
    append_side_record(Stamps.back());
    refresh_frame_count();
    return 0;
}

int UpdateSERHeader(void)
{
    if (SerFd >= 0)
        refresh_frame_count();
    return 0;
}

int64_t date2timestamp(int year, int month, int day, int hour, int minute, int second, int microsec)
{
    static const int monthdays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int y = year + kTmYearBase;
    int year2day = 365 * (y - 1) + y / 4 - y / 100 + y / 400;
    int mon2day = 0;
    for (int m = 0; m < month && m < 12; ++m)
        mon2day += monthdays[m];
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    // year2day already counts this year's leap day, which January and February have yet to see.
    int days = year2day + mon2day + day - 1 - (leap && month < 2 ? 1 : 0);
    int64_t seconds = (static_cast<int64_t>(hour) * 60 + minute) * 60 + second +
                      static_cast<int64_t>(days) * 86400;
    return (seconds * 1000000 + microsec) * kTicksPerMicrosecond;
}

int CloseSER(void)
{
    if (SerFd < 0)
        return 0;
    wait_for_sync();
    close_side_file();
    write_trailer();
    complete_header();
    if (close(SerFd) != 0)
        report_ser_failure();
    SerFd = -1;
    std::printf("%dframes\n", FrameCount);
    std::printf("Rec Stop.\n");
    return 0;
}
