// Test hook of the SER recorder: where the side file of frame times goes.
#ifndef TOLVA_SER_TESTING_H
#define TOLVA_SER_TESTING_H

// The side file of frame times (see ser.h); tests point it elsewhere, the program keeps the
// default "/tmp/timestamp.bin".
extern const char *TimeStampFile;

#endif
