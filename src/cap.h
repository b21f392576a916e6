// Raw capture pipeline: the VideoCore camera receiver hands packed frames to the driver.
#ifndef TOLVA_CAP_H
#define TOLVA_CAP_H

// Parameter record the callback reads through the output port's user data.
typedef struct {
    int write_empty; // non-zero: the callback copies no frame at all
} CAPTURE_PARAMS_T;

int OpenSensor(const char *fname);
int CloseSensor(int status);
int ReadRAW(unsigned char *buf);
int GetWidth(void);
int GetHeight(void);
int GetBufSiz(void);

#endif
