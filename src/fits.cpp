// FITS writer: turns frame buffers into FITS images (one header block, big-endian samples).
#include "fits.h"

#include "fatal.h"
#include "file_handle.h"
#include "util.h"

#include <regex.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

[[gnu::used]] static const char __PROGRAM_VERSION__[] =
    "@(#)fits Ver. 1.0020 (2021/10/04 10:46:59)";

// Owned by this unit from InitFits to the end of the process; only the main thread uses them.
namespace {

constexpr int kBlock = 2880; // FITS files are made of blocks of this size
constexpr int kCard = 80;    // header cards are this many columns wide
constexpr int kCards = 9;

int FtsSize;     // bytes of the data unit: the declared samples rounded up to whole blocks
int FtsData;     // bytes of the declared samples: width x height x bytes a sample
int SampleBytes; // 2 for 16-bit samples, 1 for the 8-bit mode
unsigned char *FtsImage;
char *FtsHeader;
char sensorname[kSensorNameMax + 1];

// Formats one card and keeps its first 80 columns, blank-filled.
void put_card(char *card, const char *format, ...)
{
    char text[2 * kCard];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::memset(card, ' ', kCard);
    std::memcpy(card, text, std::min<size_t>(std::strlen(text), kCard));
}

// Mandatory keywords are in fixed format: the value right-justified to column 30.
void put_integer_card(char *card, const char *keyword, int value, const char *comment)
{
    put_card(card, "%-8s= %20d / %s", keyword, value, comment);
}

void build_header(int width, int height)
{
    char *card = FtsHeader;
    put_card(card, "%-8s= %20s / %s", "SIMPLE", "T", "Created by Tolvacapture");
    put_integer_card(card += kCard, "BITPIX", 8 * SampleBytes, "number of bits per data pixel");
    put_integer_card(card += kCard, "NAXIS", 2, "number of data axes");
    put_integer_card(card += kCard, "NAXIS1", width, "length of data axis 1");
    put_integer_card(card += kCard, "NAXIS2", height, "length of data axis 2");
    put_integer_card(card += kCard, "BZERO", 0, "data range offset");
    // The comment text is kept as the files of every earlier run have it.
    put_integer_card(card += kCard, "BSCALE", 1, "lscaling factor");
    put_card(card += kCard, "SENSOR  = '%-17s' / %-49s", sensorname, "image sensor name");
    put_card(card += kCard, "%-80s", "END");
    std::memset(FtsHeader + kCards * kCard, ' ', kBlock - kCards * kCard);
}

int round_up_to_blocks(int size) { return (size / kBlock + (size % kBlock > 0)) * kBlock; }

// Reports a failed write once and gives the writer's failure result.
int fail_write(const char *wfname)
{
    report_write_failure(wfname);
    return -1;
}

} // namespace

void GetSensorName(const char *src, char *dst)
{
    dst[0] = '\0';
    regex_t pattern;
    if (regcomp(&pattern, "(imx[0-9]+)", REG_EXTENDED | REG_NEWLINE) != 0)
        return;
    regmatch_t match[4];
    if (regexec(&pattern, src, 4, match, 0) == 0) {
        // Names longer than the buffers are cut: "imx" and the first 14 digits.
        int length = std::min<int>(match[1].rm_eo - match[1].rm_so, kSensorNameMax);
        std::memcpy(dst, src + match[1].rm_so, length);
        dst[length] = '\0';
    }
    regfree(&pattern);
}

// A buffer of one byte a pixel (and less than two) holds the 8-bit mode's samples; any other
// holds 16-bit samples, the driver's depth. The data unit holds the samples the buffer has,
// whole ones only and no more than the header declares: an empty buffer gives an empty unit.
int InitFits(int BinSize, int width, int height, const char *fname)
{
    int64_t pixels = static_cast<int64_t>(width) * height;
    bool eight_bit = pixels > 0 && BinSize >= pixels && BinSize < 2 * pixels;
    SampleBytes = eight_bit ? 1 : 2;
    int64_t buffer_samples = std::max(BinSize, 0) / SampleBytes;
    FtsData = static_cast<int>(std::min(pixels, buffer_samples) * SampleBytes);
    FtsSize = round_up_to_blocks(FtsData);
    std::free(FtsImage); // a new geometry replaces the old buffers
    FtsImage = static_cast<unsigned char *>(std::calloc(std::max(FtsSize, 1), 1));
    if (!FtsImage)
        fatal_out_of_memory();
    GetSensorName(fname, sensorname);
    std::free(FtsHeader);
    FtsHeader = static_cast<char *>(std::malloc(kBlock));
    if (!FtsHeader)
        fatal_out_of_memory();
    build_header(width, height);
    return 0;
}

void EndianChange(unsigned char *dst, unsigned char *src, int srcSize, int bpp)
{
    if (bpp != 10 && bpp != 12 && bpp != 16)
        return;
    for (int i = 0; i + 1 < srcSize; i += 2) {
        dst[i] = src[i + 1];
        dst[i + 1] = src[i];
    }
}

// The data unit holds exactly the samples the header declares; what the frame buffer holds
// beyond them is not written, and the fill after them stays zero.
int WriteFTS(unsigned char *BinImage, int BinSize, int bpp, const char *wfname)
{
    (void)bpp; // the sample width comes from the frame buffer's size, set by InitFits
    int samples = std::clamp(BinSize, 0, FtsData);
    if (SampleBytes == 2)
        EndianChange(FtsImage, BinImage, samples, 16);
    else
        std::memcpy(FtsImage, BinImage, samples);

    FileHandle fp(std::fopen(wfname, "wb"));
    if (!fp) {
        report_open_failure(wfname);
        return -1;
    }
    if (std::fwrite(FtsHeader, 1, kBlock, fp.get()) != kBlock)
        return fail_write(wfname);
    std::printf("%ld ", static_cast<long>(kBlock));
    size_t written = std::fwrite(FtsImage, 1, FtsSize, fp.get());
    std::printf("+ %d bytes\n", static_cast<int>(written));
    if (written != static_cast<size_t>(FtsSize) || close_file(fp) != 0)
        return fail_write(wfname);
    return 0;
}
