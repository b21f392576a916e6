// Sensor presence check: whether anything answers on the camera's I2C bus.
#ifndef TOLVA_MAGIC_H
#define TOLVA_MAGIC_H

// 1 when a device answers on the camera's I2C bus (GetCameraBus: 0 unless chosen), -1 when nothing
// does or the bus map can't be read.
int magic(void);

#endif
