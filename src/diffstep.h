// The difference step of a difference recording in one pass over the two frames: difference,
// isolated-point removal, detection mask, binarisation and count, and the reduced ImageDiff
// picture made at once from the rows just marked.
//
// The marked frame equals, sample for sample, what the image unit's rules give in the order
// DifImage (num 0), NRImage, the mask (samples whose mask byte is not 0 := 0), BinzImage. The
// in-place raster rule of NRImage can be evaluated on the original differences: a removed point
// has all four neighbours below the threshold, so none of them is removed, and its left
// neighbour still holds its own difference, which is below the threshold, when it is copied.
#ifndef TOLVA_DIFFSTEP_H
#define TOLVA_DIFFSTEP_H

// The size cv::resize gives a width x height picture reduced by 1/div (the nearest integer,
// halves to even).
void DiffReducedSize(int width, int height, int div, int *rwidth, int *rheight);

// Marks the samples of cur that brightened by more than threshold over prev and are not an
// isolated point nor masked: diff := 65535 there, 0 elsewhere. mask (width bytes a row, may be
// null) hides the samples whose byte is not 0. With div 2 or 4, reduced (DiffReducedSize
// samples, row-major) := the marked frame reduced as cv::resize with INTER_LINEAR reduces it;
// with div 1 or a null reduced nothing is made. row_marks (height ints, may be null) := the
// marked samples of each row, so that later passes over the marks can pass over the rows that
// hold none. Rows may be shared over OpenCV's threads. Returns the number of marked samples.
int DiffStep16(unsigned short *diff, const unsigned short *cur, const unsigned short *prev,
               const unsigned char *mask, int width, int height, unsigned short threshold,
               unsigned short *reduced, int div, int *row_marks);
// The same on 8-bit samples (-8), without widening the frames.
int DiffStep8(unsigned short *diff, const unsigned char *cur, const unsigned char *prev,
              const unsigned char *mask, int width, int height, unsigned short threshold,
              unsigned short *reduced, int div, int *row_marks);

#endif
