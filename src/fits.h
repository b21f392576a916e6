// FITS writer: a one-block primary header built once, then one file per written frame.
#ifndef TOLVA_FITS_H
#define TOLVA_FITS_H

// Sensor name buffers hold at most this many characters and a NUL.
constexpr int kSensorNameMax = 17;

// Builds the header and the data buffer for frames of `BinSize` bytes and width x height
// pixels; the sensor name comes from the init file path `fname`. A buffer of one byte a pixel
// (the 8-bit mode) is written as 8-bit samples, any other as 16-bit samples; the data unit holds
// the samples the buffer has, up to width x height (none for an empty buffer).
int InitFits(int BinSize, int width, int height, const char *fname);

// Writes the frame `BinImage` into the FITS file `wfname`: 0, or -1 when the file cannot be
// created or not all of it is written.
int WriteFTS(unsigned char *BinImage, int BinSize, int bpp, const char *wfname);

// Little-endian 16-bit samples to big-endian for a bpp of 10, 12 or 16; other depths write
// nothing. Only whole samples are converted: a lone last byte is left alone.
void EndianChange(unsigned char *dst, unsigned char *src, int srcSize, int bpp);

// The first "imx" and the digits after it in `src`, cut to 17 characters; empty when none.
void GetSensorName(const char *src, char *dst);

#endif
