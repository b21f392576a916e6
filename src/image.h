// Image operations: per-sample arithmetic, thresholds and statistics over whole 16-bit frames.
//
// A frame is width x height unsigned 16-bit samples, row-major without gaps; every buffer of one
// call has that geometry. The caller owns the buffers; nothing is allocated or kept. "Above the
// threshold" means strictly greater than `threshold`. Arguments `num` that a rule does not name
// are ignored (the system passes 0).
#ifndef TOLVA_IMAGE_H
#define TOLVA_IMAGE_H

// Every sample of dst := val.
void InitImage(unsigned short *dst, int width, int height, unsigned short val);
// dst := the per-sample maximum of dst and src.
void SLImage(unsigned short *dst, const unsigned short *src, int width, int height, int num);
// dst := src1 - src2 where src1 is greater; elsewhere 0 when num is 0, else src2 - src1.
void DifImage(unsigned short *dst, const unsigned short *src1, const unsigned short *src2,
              int width, int height, int num);
// In place, interior only, raster order: a sample above the threshold whose four neighbours (as
// they stand then) are all below it takes the value of its left neighbour.
void NRImage(unsigned short *dst, unsigned short threshold, int width, int height);
// Samples above the threshold := 65535, the others := 0; returns the fraction above (0 ... 1).
float BinzImage(unsigned short *dst, unsigned short threshold, int width, int height);
// The fraction of samples above the threshold, dst untouched.
float CountImage(const unsigned short *dst, unsigned short threshold, int width, int height);
// Centroid (ax, ay) and population standard deviation (sx, sy) of the columns and rows of the
// samples above the threshold, in pixels; NaN when there is none.
void SDeviImage(const unsigned short *dst, unsigned short threshold, int width, int height,
                double *ax, double *ay, double *sx, double *sy);
// SDeviImage passing over the rows j whose rows[j] is 0, which must hold no sample above the
// threshold (as the rows without marks of a marked frame): then the results are SDeviImage's.
void SDeviRows(const unsigned short *dst, const int *rows, unsigned short threshold, int width,
               int height, double *ax, double *ay, double *sx, double *sy);

// dst := the per-sample minimum of dst and src.
void SDImage(unsigned short *dst, const unsigned short *src, int width, int height, int num);
// dst := (num x dst + src) / (num + 1), truncated: the running mean when dst holds the mean of num
// frames. num >= 0 and (num + 1) x 65535 within int.
void AvrImage(unsigned short *dst, const unsigned short *src, int width, int height, int num);
// Halves every sample except those at odd column and odd row (red and greens of an RGGB mosaic).
void WBImageRG(unsigned short *src, int width, int height);
// dst := dst - src where dst is greater, else 0: never wraps.
void SubImage(unsigned short *dst, const unsigned short *src, int width, int height, int num);
// dst := |dst - src|.
void AbsImage(unsigned short *dst, const unsigned short *src, int width, int height, int num);
// dst := src.
void CopyImage(unsigned short *dst, const unsigned short *src, int width, int height, int num);
// Bounding box of the samples above the threshold; with none: minx = width, miny = height,
// maxx = maxy = 0.
void MaxMinImage(const unsigned short *dst, unsigned short threshold, int width, int height,
                 int *minx, int *miny, int *maxx, int *maxy);

#endif
