// Sensor control over I2C: the sensor init file interpreter and register access.
#ifndef TOLVA_I2C_H
#define TOLVA_I2C_H

// 7-bit address of the sensor; the init file's I2C_ADDRESS setting changes it.
extern int I2C_ADDRESS;
// The camera's I2C bus: its character device, "/dev/i2c-0" until SetCameraBus chooses another.
extern char i2c_device_name[24];
void SetCameraBus(int bus);
int GetCameraBus(void);

// Init file: scans for one setting, the whole interpretation, and the sensor's stop.
int check_rawbit(const char *fname);
int check_lanes(const char *fname);
// Colour filter orders of the BAYER setting, named by the first two pixels of the first two lines
// and numbered as the SER format's colour ids less 8.
enum { BAYER_RGGB, BAYER_GRBG, BAYER_GBRG, BAYER_BGGR };
// The first upper-case BAYER value (BAYER_RGGB when the file gives none); -1 when the file can't
// be read ("can't open" said).
int check_bayer(const char *fname);
// The first upper-case I2C_BUS value, the camera's bus on a board whose receiver's media graph
// names another; -1 when the file gives none, -2 when it can't be read ("can't open" said).
int check_i2c_bus(const char *fname);
int InitSensor(const char *fname, int *width, int *height, int *bufsiz);
// The file's STOP lines, in their order; mode_select (0x0100) = 0 when it gave none.
void StopSensor(void);
void DispMode(void);

// Register access: 16-bit register addresses, 8-bit registers, one transfer per byte.
int SetReg(int reg16, int len, int data);
int GetReg(int reg16, int len);
void Set1Byte(int reg, int val);
void Set2Byte(int reg, int val);

// Named operations the unit offers but leaves to SetReg.
void SetFrameLength(int val);
void SetExposure(int val);
void SetAnaGain(int val);
void SetDigGain(int val);
void SetOrientation(int val);

#endif
