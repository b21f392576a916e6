// Board bring-up: identifies the board from its revision and routes the camera's I2C bus for it.
#ifndef TOLVA_CAMERA_I2C_H
#define TOLVA_CAMERA_I2C_H

// Routes the camera's I2C lines for this board, then probes bus 0 (device_no 0) or bus 10.
void camera_i2c(int device_no);

// The board revision from /proc/cpuinfo and the kernel release, or null when there is none.
// Both point at static buffers that the next call overwrites.
char *GetRev(void);
char *GetKernel(void);

// White space (isspace): the first other character at or after `s`; trailing white space cut.
char *skipspace(char *s);
void striptail(char *s);

#endif
