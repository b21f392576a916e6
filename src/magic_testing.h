// Test hooks of the presence check: where the bus map is written, and its start state.
#ifndef TOLVA_MAGIC_TESTING_H
#define TOLVA_MAGIC_TESTING_H

// The bus map's file (see magic.h); tests point it into a directory of their own, the program
// keeps the default "/tmp/i2cdetect.log".
extern const char *I2cdetectLog;

// Forgets that an unusable bus map was reported, as at the program's start.
void magic_reset(void);

#endif
