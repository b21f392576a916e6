// Sensor control over I2C: reads sensor init files and programs the sensor register by register.
#include "i2c.h"

#include "fatal.h"
#include "host.h"
#include "init_file.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

[[gnu::used]] static const char __PROGRAM_VERSION__[] = "@(#)i2c Ver. 1.0030 (2021/10/04 10:46:59)";

int I2C_ADDRESS = 0x10;
char i2c_device_name[24] = "/dev/i2c-0";

namespace {

constexpr int kLineMax = 8192;   // line buffer and token buffers, NUL included
constexpr int kNameBuffer = 32;  // a name buffer; the longest accepted name is 30 characters
constexpr int kNameRefused = 31; // files rely on 31 being refused, not 32
constexpr int kTableSize = 128;  // the definition that fills the last entry ends the run

// Frame sizes the receiver can be set up for. A sensor's output size registers are 16 bits
// wide, so no line and no frame is longer than this.
constexpr int kMaxSide = 65535;
// 32 Mi pixels: above the largest sensors (about 20 MP), far enough below the int sizes of the
// frame buffers and writers (about 2 bytes a pixel each) that none of them can overflow.
constexpr long long kMaxPixels = 1LL << 25;
// The receiver delivers packed RAW10 or RAW12 and nothing else; RAW10 unless a file says 12.
constexpr int kRaw10 = 10;
constexpr int kRaw12 = 12;
constexpr int kMaxLanes = 4;      // a CSI-2 link has 1 to 4 data lanes
constexpr int kDefaultLanes = 2;  // when a file names none
constexpr int kMaxI2cBus = 99999; // Linux numbers I2C adapters from 0; far more than any board has
int CameraBus;

struct val_table {
    char name[kNameBuffer];
    int value;
};

// The interpreter's own settings; InitSensor copies them out to its caller.
int Width;
int Height;
int BufSiz;
int DataLanes;
int RawBit;

// Lines where the frame size settings were last made, for the messages that refuse them, and
// where the interpreter last set RawBit (0: no line did).
int WidthLine;
int HeightLine;
int BufSizLine;
int RawBitLine;

// A line of the init file, as messages name it.
struct Line {
    const char *fname;
    int number;
};

val_table table[kTableSize];
int table_n;

// What StopSensor does: the file's STOP lines, kept as the interpreter read them (named values
// resolved there), replayed in their order.
struct StopStep {
    enum Kind { kPause, kWrite1, kWrite2 } kind;
    int reg;
    int value; // the bytes to write, or the pause's milliseconds
};
std::vector<StopStep> StopSteps;
constexpr int kModeSelect = 0x0100; // the CCS chips' stream control: 0 stops them

bool is_white(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

const char *skip_white(const char *s)
{
    while (is_white(*s))
        ++s;
    return s;
}

// Ends the line at `end` and removes the white space before it, never past the line's start.
void cut_at(char *line, char *end)
{
    *end = '\0';
    while (end > line && is_white(end[-1]))
        *--end = '\0';
}

// Cleans one line: new line and comments ("//" or "#") removed, except on echo lines, which
// start with "@" and are returned from the "@" on. Null for a line with nothing left.
char *strip(char *s)
{
    if (char *newline = std::strchr(s, '\n'))
        cut_at(s, newline);
    char *first = s + (skip_white(s) - s);
    if (*first == '@')
        return first;
    if (char *comment = std::strstr(s, "//"))
        cut_at(s, comment);
    if (char *comment = std::strchr(s, '#'))
        cut_at(s, comment);
    return *skip_white(s) ? s : nullptr;
}

// Copies the next run of non-white characters into `token`; null (token untouched) at the end.
const char *gettok(const char *s, char *token)
{
    if (!s)
        return nullptr;
    s = skip_white(s);
    if (!*s)
        return nullptr;
    while (*s && !is_white(*s))
        *token++ = *s++;
    *token = '\0';
    return s;
}

// The hexadecimal digits at `s`, up to the first other character; -1 beyond 32 bits.
long long atox(const char *s)
{
    long long value = 0;
    for (; std::isxdigit(static_cast<unsigned char>(*s)); ++s) {
        int digit = std::isdigit(static_cast<unsigned char>(*s))
                        ? *s - '0'
                        : std::tolower(static_cast<unsigned char>(*s)) - 'a' + 10;
        value = value * 16 + digit;
        if (value > 0xFFFFFFFFLL)
            return -1;
    }
    return value;
}

// The file format has no way to give a value that does not fit in 32 bits.
int decimal(const char *s)
{
    long long value = 0;
    for (const char *p = s; *p; ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p)))
            fatal_error("%s is not digit\n", s);
        value = value * 10 + (*p - '0');
        if (value > INT_MAX)
            fatal_error("%s is not digit\n", s);
    }
    return static_cast<int>(value);
}

// First definition wins: files rely on it.
int lookup(const char *s)
{
    for (int i = 0; i < table_n; ++i)
        if (std::strcmp(table[i].name, s) == 0)
            return table[i].value;
    fatal_error("%s not found\n", s);
}

// A value token: "$name", "0x" hexadecimal (either case) or plain decimal digits.
int todigit(const char *s)
{
    if (s[0] == '$')
        return lookup(s);
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        long long value = atox(s + 2);
        if (value < 0)
            fatal_error("%s is not digit\n", s);
        return static_cast<int>(static_cast<unsigned int>(value));
    }
    return decimal(s);
}

[[noreturn]] void missing_value(const Line &line, const char *what)
{
    fatal_error("%s:%d: %s has no value\n", line.fname, line.number, what);
}

// "FILE:LINE: KEY TOKEN (VALUE) WHY": the value is shown when the token does not spell it, as
// 0xFFFFFFFF, which reads as -1, or a named value.
[[noreturn]] void refuse_value(const Line &line, const char *key, const char *token, int value,
                               const char *why)
{
    char shown[16] = "";
    if (std::to_string(value) != token)
        std::snprintf(shown, sizeof shown, " (%d)", value);
    fatal_error("%s:%d: %s %s%s %s\n", line.fname, line.number, key, token, shown, why);
}

void check_range(const Line &line, const char *key, const char *token, int value, int least,
                 int most)
{
    if (value >= least && value <= most)
        return;
    char why[64];
    std::snprintf(why, sizeof why, "is out of range (%d to %d)", least, most);
    refuse_value(line, key, token, value, why);
}

// Values no frame can have are refused at their line, before anything is set up for them.
// WIDTH and HEIGHT 0 mean "not set" here; InitSensor refuses a frame left without them.
void check_setting(const Line &line, const char *key, const char *token, int value)
{
    if (strcasecmp(key, "WIDTH") == 0 || strcasecmp(key, "HEIGHT") == 0) {
        if (value != 0)
            check_range(line, key, token, value, 1, kMaxSide);
    } else if (strcasecmp(key, "BUFSIZ") == 0) {
        check_range(line, key, token, value, 0, INT_MAX);
    } else if (strcasecmp(key, "DATA_LANES") == 0) {
        check_range(line, key, token, value, 1, kMaxLanes);
    } else if (strcasecmp(key, "I2C_BUS") == 0) {
        check_range(line, key, token, value, 0, kMaxI2cBus);
    } else if (strcasecmp(key, "RAWBIT") == 0) {
        if (value != kRaw10 && value != kRaw12)
            refuse_value(line, key, token, value,
                         "is not a depth the receiver delivers (10 or 12)");
    }
}

// The piece of `text` from `at` that a line buffer holds: up to and with the next new line, at
// most kLineMax - 1 characters, as fgets reads it.
std::size_t line_piece(const std::string &text, std::size_t at)
{
    std::size_t newline = text.find('\n', at);
    std::size_t end = newline == std::string::npos ? text.size() : newline + 1;
    return std::min<std::size_t>(end - at, kLineMax - 1);
}

// Calls handle(line, line number) for each line of the text that strip keeps; a line longer
// than the buffer comes in pieces, each handled as a line. Stops early when handle returns
// false.
template <typename Handler> void for_each_line(const std::string &text, Handler handle)
{
    static char buf[kLineMax];
    int line_no = 0;
    bool at_line_start = true;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t length = line_piece(text, at);
        text.copy(buf, length, at);
        buf[length] = '\0';
        at += length;
        if (at_line_start)
            ++line_no;
        at_line_start = std::strchr(buf, '\n') != nullptr;
        char *s = strip(buf);
        if (s && !handle(s, line_no))
            break;
    }
}

// A setting's value token read as a number and checked.
int number_setting(const Line &line, const char *key, const char *token)
{
    int value = todigit(token);
    check_setting(line, key, token, value);
    return value;
}

// A BAYER value: one of the four orders' names, in either case.
int bayer_setting(const Line &line, const char *key, const char *token)
{
    static const char *const kOrders[] = {"RGGB", "GRBG", "GBRG", "BGGR"};
    for (int order = BAYER_RGGB; order <= BAYER_BGGR; ++order)
        if (strcasecmp(token, kOrders[order]) == 0)
            return order;
    fatal_error("%s:%d: %s %s is not a Bayer order (RGGB, GRBG, GBRG or BGGR)\n", line.fname,
                line.number, key, token);
}

using SettingReader = int (*)(const Line &line, const char *key, const char *token);

// The scans' rule: the first line whose first token is the keyword (upper case only) gives the
// value; `fallback` when none does.
int scan_text(const std::string &text, const char *fname, const char *keyword, int fallback,
              SettingReader read = number_setting)
{
    int setting = fallback;
    static char key[kLineMax], value[kLineMax];
    for_each_line(text, [&](char *s, int number) {
        const char *rest = gettok(s, key);
        if (std::strcmp(key, keyword) != 0)
            return true;
        Line line{fname, number};
        if (!gettok(rest, value))
            missing_value(line, keyword);
        setting = read(line, keyword, value);
        return false;
    });
    return setting;
}

// The scans of the file's text; -1 when it cannot be opened.
int scan_setting(const char *fname, const char *keyword, int fallback,
                 SettingReader read = number_setting)
{
    std::string text;
    if (!read_init_file(fname, text)) {
        std::fprintf(stderr, "can't open %s\n", fname);
        return -1;
    }
    return scan_text(text, fname, keyword, fallback, read);
}

void sleep_ms(int ms)
{
    if (ms <= 0)
        return;
    timespec left{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (host_nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

bool is_pause(const char *key)
{
    return strcasecmp(key, "WAIT") == 0 || strcasecmp(key, "DELAY") == 0;
}

void set_at_line(int &setting, int &setting_line, int value, const Line &line)
{
    setting = value;
    setting_line = line.number;
}

// A setting keyword (case ignored) takes effect at its place in the file; false for others.
bool apply_setting(const Line &line, const char *key, const char *token, int value)
{
    check_setting(line, key, token, value);
    if (strcasecmp(key, "I2C_ADDRESS") == 0)
        I2C_ADDRESS = value;
    else if (strcasecmp(key, "WIDTH") == 0)
        set_at_line(Width, WidthLine, value, line);
    else if (strcasecmp(key, "HEIGHT") == 0)
        set_at_line(Height, HeightLine, value, line);
    else if (strcasecmp(key, "BUFSIZ") == 0)
        set_at_line(BufSiz, BufSizLine, value, line);
    else if (strcasecmp(key, "DATA_LANES") == 0)
        DataLanes = value;
    else if (strcasecmp(key, "RAWBIT") == 0)
        set_at_line(RawBit, RawBitLine, value, line);
    else if (is_pause(key))
        sleep_ms(value);
    else if (strcasecmp(key, "I2C_BUS") != 0) // chosen at bring-up, before the file is run
        return false;
    return true;
}

// "$NAME = value": "=" is no separator, so the name must be followed by white space.
void define(const Line &line, const char *s)
{
    static char name[kLineMax], value[kLineMax];
    gettok(s, name);
    if (std::strlen(name) >= kNameRefused)
        fatal_error("over name length max(%d).\n", kNameBuffer);
    if (!gettok(std::strchr(s, '=') + 1, value))
        missing_value(line, name);
    val_table &entry = table[table_n];
    std::strcpy(entry.name, name);
    entry.value = todigit(value);
    if (++table_n >= kTableSize)
        fatal_error("over table max(%d).\n", kTableSize);
}

// The three tokens of a setting or register line, "FIRST VALUE [THIRD]" (tokens after the third
// are ignored); a line without a value ends the run naming `what`, or the first token.
struct LineTokens {
    char first[kLineMax], value[kLineMax], third[kLineMax];
};

void split_line(const Line &line, const char *s, LineTokens &t, const char *what = nullptr)
{
    t.third[0] = '\0';
    const char *rest = gettok(s, t.first);
    rest = gettok(rest, t.value);
    if (!rest)
        missing_value(line, what ? what : t.first);
    gettok(rest, t.third);
}

// Only the first character of the third token counts: "w", "word" and "Wide" alike.
bool two_bytes(const LineTokens &t) { return t.third[0] == 'w' || t.third[0] == 'W'; }

// "STOP REGISTER VALUE [w]" or "STOP WAIT ms": a step of the sensor's stop, kept for StopSensor.
void record_stop(const Line &line, const char *s)
{
    static LineTokens t;
    split_line(line, s, t, "STOP");
    int value = todigit(t.value);
    if (is_pause(t.first))
        StopSteps.push_back({StopStep::kPause, 0, value});
    else
        StopSteps.push_back(
            {two_bytes(t) ? StopStep::kWrite2 : StopStep::kWrite1, todigit(t.first), value});
}

// A setting, a pause, a step of the stop, or a register write: "REGISTER VALUE [w]".
void setting_or_register(const Line &line, const char *s)
{
    static LineTokens t;
    const char *rest = gettok(s, t.first);
    if (strcasecmp(t.first, "STOP") == 0)
        return record_stop(line, rest);
    split_line(line, s, t);
    if (strcasecmp(t.first, "BAYER") == 0)
        return static_cast<void>(bayer_setting(line, t.first, t.value));
    int value = todigit(t.value);
    if (apply_setting(line, t.first, t.value, value))
        return;
    int reg = todigit(t.first);
    if (two_bytes(t))
        Set2Byte(reg, value);
    else
        Set1Byte(reg, value);
}

// The interpreter, over the file's text.
void i2c(const char *fname, const std::string &text)
{
    table_n = 0;
    for_each_line(text, [&](char *s, int number) {
        Line line{fname, number};
        if (*s == '@')
            std::printf("%s\n", s);
        else if (std::strchr(s, '='))
            define(line, s);
        else
            setting_or_register(line, s);
        return true;
    });
}

// The frame the sizes describe must be one the receiver can deliver and the program hold:
// at most kMaxPixels, and a BUFSIZ (when given) of whole samples at the receiver's depth, plus
// line fill short of one more bit a pixel (beyond that the frame reads as another depth).
bool frame_fits(const char *fname, int rawbit)
{
    long long pixels = static_cast<long long>(Width) * Height;
    if (pixels > kMaxPixels) {
        std::fprintf(stderr, "%s:%d: WIDTH %d x HEIGHT %d is more than %lld pixels\n", fname,
                     std::max(WidthLine, HeightLine), Width, Height, kMaxPixels);
        return false;
    }
    if (BufSiz == 0)
        return true; // not given: the pipeline reports the frames' own length
    long long least = (pixels * rawbit + 7) / 8;
    long long most = (pixels * (rawbit + 1) + 7) / 8 - 1;
    if (BufSiz < least || BufSiz > most) {
        std::fprintf(stderr,
                     "%s:%d: BUFSIZ %d does not fit WIDTH %d x HEIGHT %d at RAWBIT %d (%lld to "
                     "%lld bytes)\n",
                     fname, BufSizLine, BufSiz, Width, Height, rawbit, least, most);
        return false;
    }
    return true;
}

// The file's register writes have gone out and may have started the stream: a file refused
// after them leaves the sensor stopped.
int refuse_file()
{
    StopSensor();
    return -1;
}

void print_summary(const char *fname)
{
    std::printf("--- %s ---\n", fname);
    std::printf("RAWBIT     : %4d\n", RawBit);
    std::printf("DATA_LANES : %4d\n", DataLanes);
    std::printf("I2C_ADDRESS: 0x%02X\n", I2C_ADDRESS);
    std::printf("WIDTH      : %4d\n", Width);
    std::printf("HEIGHT     : %4d\n", Height);
    std::printf("BUFSIZ     : %d\n", BufSiz);
    std::printf("----------\n");
}

} // namespace

int check_rawbit(const char *fname) { return scan_setting(fname, "RAWBIT", kRaw10); }

int check_lanes(const char *fname) { return scan_setting(fname, "DATA_LANES", kDefaultLanes); }

int check_bayer(const char *fname)
{
    return scan_setting(fname, "BAYER", BAYER_RGGB, bayer_setting);
}

int check_i2c_bus(const char *fname)
{
    constexpr int kNoBus = -2; // told apart from the -1 of a file that can't be read
    int found = scan_setting(fname, "I2C_BUS", kNoBus);
    return found == kNoBus ? -1 : found == -1 ? -2 : found;
}

void SetCameraBus(int bus)
{
    CameraBus = bus;
    std::snprintf(i2c_device_name, sizeof i2c_device_name, "/dev/i2c-%d", bus);
}

int GetCameraBus(void) { return CameraBus; }

int InitSensor(const char *fname, int *width, int *height, int *bufsiz)
{
    Width = Height = BufSiz = 0;
    WidthLine = HeightLine = BufSizLine = RawBitLine = 0;
    DataLanes = kDefaultLanes;
    StopSteps.clear();
    std::string text;
    if (!read_init_file(fname, text)) {
        std::fprintf(stderr, "can't open %s.\n", fname);
        return -1;
    }
    i2c(fname, text);
    if (Width == 0 || Height == 0) {
        std::fprintf(stderr, "can't set WIDTH and/or HEIGHT\n");
        return refuse_file();
    }
    // The receiver's depth follows the scan's rule; the summary shows it unless the file's
    // RAWBIT lines, in any case, said otherwise.
    int receiver_rawbit = scan_text(text, fname, "RAWBIT", kRaw10);
    if (RawBitLine == 0)
        RawBit = receiver_rawbit;
    if (!frame_fits(fname, receiver_rawbit))
        return refuse_file();
    *width = Width;
    *height = Height;
    *bufsiz = BufSiz;
    print_summary(fname);
    return 0;
}

void StopSensor(void)
{
    if (StopSteps.empty())
        Set1Byte(kModeSelect, 0x00);
    for (const StopStep &step : StopSteps) {
        if (step.kind == StopStep::kPause)
            sleep_ms(step.value);
        else if (step.kind == StopStep::kWrite2)
            Set2Byte(step.reg, step.value);
        else
            Set1Byte(step.reg, step.value);
    }
}

void DispMode(void) { std::printf("%s\n", __PROGRAM_VERSION__); }

namespace {

// Opens the bus and addresses the sensor; -1 (device closed again) with the caller's message.
int open_sensor(const char *caller)
{
    int fd = host_i2c_open(i2c_device_name, O_RDWR);
    if (fd < 0) {
        std::fprintf(stderr, "%s: error@open %s\n", caller, std::strerror(errno));
        return -1;
    }
    if (host_i2c_ioctl(fd, I2C_SLAVE_FORCE, I2C_ADDRESS) < 0) {
        std::fprintf(stderr, "%s: error@ioctl %s\n", caller, std::strerror(errno));
        host_i2c_close(fd);
        return -1;
    }
    return fd;
}

unsigned char high_byte(unsigned int v) { return static_cast<unsigned char>(v >> 8 & 0xFF); }
unsigned char low_byte(unsigned int v) { return static_cast<unsigned char>(v & 0xFF); }

} // namespace

int SetReg(int reg16, int len, int data)
{
    int fd = open_sensor("SetReg");
    if (fd < 0)
        return -1;
    for (int i = 0; i < len; ++i) {
        // The register address carries as a 16-bit number: 0x01FF is followed by 0x0200.
        unsigned int reg = static_cast<unsigned int>(reg16) + static_cast<unsigned int>(i);
        unsigned int shift = 8u * static_cast<unsigned int>(len - 1 - i);
        unsigned int value = shift < 32 ? static_cast<unsigned int>(data) >> shift : 0;
        unsigned char msg[3] = {high_byte(reg), low_byte(reg), low_byte(value)};
        host_i2c_write(fd, msg, sizeof msg); // a refused byte is not reported: callers go on
    }
    host_i2c_close(fd);
    return 0;
}

int GetReg(int reg16, int len)
{
    if (len != 1 && len != 2) {
        std::fprintf(stderr, "GetReg: len=%d No support (len > 2)\n", len);
        return -1;
    }
    int fd = open_sensor("GetReg");
    if (fd < 0)
        return -1;
    unsigned int reg = static_cast<unsigned int>(reg16);
    unsigned char msg[2] = {high_byte(reg), low_byte(reg)};
    host_i2c_write(fd, msg, sizeof msg);
    unsigned char rdata[2] = {0, 0};
    ssize_t n = host_i2c_read(fd, rdata, static_cast<size_t>(len));
    if (n != len) {
        int read_errno = errno;
        host_i2c_close(fd);
        fatal_error("GetReg: error@read %s\nI2C_ADDRESS: %x\nlen: len=%d  n=%d\n",
                    std::strerror(read_errno), I2C_ADDRESS, len, static_cast<int>(n));
    }
    host_i2c_close(fd);
    return len == 1 ? rdata[0] : rdata[0] * 256 + rdata[1];
}

void Set1Byte(int reg, int val) { SetReg(reg, 1, val); }

void Set2Byte(int reg, int val) { SetReg(reg, 2, val); }

void SetFrameLength(int) { std::fprintf(stderr, "SetFrameLength : no support. use SetReg.\n"); }

void SetExposure(int) { std::fprintf(stderr, "SetExposure : no support. use SetReg.\n"); }

void SetAnaGain(int) { std::fprintf(stderr, "SetAnaGain : no support. use SetReg.\n"); }

void SetDigGain(int) { std::fprintf(stderr, "SetDigGain : no support. use SetReg.\n"); }

void SetOrientation(int) { std::fprintf(stderr, "SetOrientation : no support. use SetReg.\n"); }
