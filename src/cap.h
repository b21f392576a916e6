// Raw capture pipeline: the camera receiver hands packed frames to the driver. One back end is
// linked: the VideoCore's MMAL receiver, or V4L2 and the media controller (Unicam, CFE).
#ifndef TOLVA_CAP_H
#define TOLVA_CAP_H

#include <sys/time.h>

// Parameter record the callback reads through the output port's user data.
typedef struct {
    int write_empty; // non-zero: the callback copies no frame at all
} CAPTURE_PARAMS_T;

// The stage at which OpenSensor failed, its negative result; CloseSensor takes it back to undo
// exactly the stages done before. From OPEN_BUFFERS_FAILED on, the sensor has been programmed.
enum {
    OPEN_RECEIVER_FAILED = -1,   // the receiver component, or the init file's interpreter
    OPEN_COMPONENTS_FAILED = -2, // the other components, the receiver's records, enabling them
    OPEN_BUFFERS_FAILED = -3,    // the hand-over, the port format, zero copy, the buffer pool
    OPEN_PORT_FAILED = -4,       // enabling the output port
    OPEN_CIRCULATION_FAILED = -5 // taking a buffer from the pool or sending it to the port
};

// How the camera's I2C bus comes up. 1: the board's routing sequence (camera_i2c) connects it,
// run before each presence check (the VideoCore receiver). 0: the receiver's camera driver has
// connected and powered it at boot, and FindCameraBus names it, from the init file (so the
// command line is read first).
int RoutesCameraBus(void);
// Selects the camera's bus for the I2C unit and the presence check (SetCameraBus): the init
// file's I2C_BUS, else the one the receiver's media graph names (0 after the board's routing).
// The bus number, or -1 after a message saying what is missing and the fix.
int FindCameraBus(const char *fname);

int OpenSensor(const char *fname);
int CloseSensor(int status);
// Copies the oldest frame waiting into buf (BufSiz bytes) and returns 1; 0 when none waits.
int ReadRAW(unsigned char *buf);
// Non-zero while recording: frames wait, oldest first, up to GetHeldFrames() of them, so a
// stall of the loop loses none. 0 (live view, the start): ReadRAW returns the newest frame and
// drops those before it, so the window shows a current frame; frames still wait meanwhile, so a
// recording started after a ReadRAW goes on from its frame without a gap.
void BufferFrames(int on);
int GetHeldFrames(void);
// Frames the receiver finished that never reached ReadRAW, since the pipeline opened, and those
// of them lost just before the frame the last ReadRAW returned.
int GetDropCount(void);
int GetFrameGap(void);
// The wall-clock time at which the receiver handed over the frame the last ReadRAW returned.
void GetFrameTime(struct timeval *tv);
int GetWidth(void);
int GetHeight(void);
int GetBufSiz(void);

#endif
