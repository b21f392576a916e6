// Test hook of the presence check: where the bus map is written.
#ifndef TOLVA_MAGIC_TESTING_H
#define TOLVA_MAGIC_TESTING_H

// The bus map's file (see magic.h); tests point it into a directory of their own, the program
// keeps the default "/tmp/i2cdetect.log".
extern const char *I2cdetectLog;

#endif
