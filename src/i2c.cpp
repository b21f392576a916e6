// Sensor control over I2C: reads sensor init files and programs the sensor register by register.
#include "i2c.h"

#include "host.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <strings.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

static const char __PROGRAM_VERSION__[] = "@(#)i2c Ver. 1.0030 (2021/10/04 10:46:59)";

int I2C_ADDRESS = 0x10;
const char i2c_device_name[11] = "/dev/i2c-0";

namespace {

constexpr int kLineMax = 8192;   // line buffer and token buffers, NUL included
constexpr int kNameBuffer = 32;  // a name buffer; the longest accepted name is 30 characters
constexpr int kNameRefused = 31; // files rely on 31 being refused, not 32
constexpr int kTableSize = 128;  // the definition that fills the last entry ends the run

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

val_table table[kTableSize];
int table_n;

struct FileCloser {
    void operator()(std::FILE *fp) const { std::fclose(fp); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

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

[[noreturn]] void fatal(const char *format, const char *text)
{
    std::fprintf(stderr, format, text);
    std::exit(1);
}

// The file format has no way to give a value that does not fit in 32 bits.
int decimal(const char *s)
{
    long long value = 0;
    for (const char *p = s; *p; ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p)))
            fatal("%s is not digit\n", s);
        value = value * 10 + (*p - '0');
        if (value > INT_MAX)
            fatal("%s is not digit\n", s);
    }
    return static_cast<int>(value);
}

// First definition wins: files rely on it.
int lookup(const char *s)
{
    for (int i = 0; i < table_n; ++i)
        if (std::strcmp(table[i].name, s) == 0)
            return table[i].value;
    fatal("%s not found\n", s);
}

// A value token: "$name", "0x" hexadecimal (either case) or plain decimal digits.
int todigit(const char *s)
{
    if (s[0] == '$')
        return lookup(s);
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        long long value = atox(s + 2);
        if (value < 0)
            fatal("%s is not digit\n", s);
        return static_cast<int>(static_cast<unsigned int>(value));
    }
    return decimal(s);
}

[[noreturn]] void missing_value(const char *fname, int line, const char *what)
{
    std::fprintf(stderr, "%s:%d: %s has no value\n", fname, line, what);
    std::exit(1);
}

// Calls handle(line, line number) for each line that strip keeps; a line longer than the
// buffer comes in pieces, each handled as a line. Stops early when handle returns false.
template <typename Handler> void for_each_line(std::FILE *fp, Handler handle)
{
    static char buf[kLineMax];
    int line_no = 0;
    bool at_line_start = true;
    while (std::fgets(buf, sizeof buf, fp)) {
        if (at_line_start)
            ++line_no;
        at_line_start = std::strchr(buf, '\n') != nullptr;
        char *s = strip(buf);
        if (s && !handle(s, line_no))
            break;
    }
}

// Shared by check_rawbit and check_lanes: the first line whose first token is the keyword
// (upper case only) gives the value.
int scan_setting(const char *fname, const char *keyword, int fallback, int &setting)
{
    File fp(std::fopen(fname, "r"));
    if (!fp) {
        std::fprintf(stderr, "can't open %s\n", fname);
        return -1;
    }
    setting = fallback;
    static char key[kLineMax], value[kLineMax];
    for_each_line(fp.get(), [&](char *s, int line) {
        const char *rest = gettok(s, key);
        if (std::strcmp(key, keyword) != 0)
            return true;
        if (!gettok(rest, value))
            missing_value(fname, line, keyword);
        setting = todigit(value);
        return false;
    });
    return setting;
}

void sleep_ms(int ms)
{
    if (ms <= 0)
        return;
    timespec left{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// A setting keyword (case ignored) takes effect at its place in the file; false for others.
bool apply_setting(const char *key, int value)
{
    if (strcasecmp(key, "I2C_ADDRESS") == 0)
        I2C_ADDRESS = value;
    else if (strcasecmp(key, "WIDTH") == 0)
        Width = value;
    else if (strcasecmp(key, "HEIGHT") == 0)
        Height = value;
    else if (strcasecmp(key, "BUFSIZ") == 0)
        BufSiz = value;
    else if (strcasecmp(key, "DATA_LANES") == 0)
        DataLanes = value;
    else if (strcasecmp(key, "RAWBIT") == 0)
        RawBit = value;
    else if (strcasecmp(key, "WAIT") == 0 || strcasecmp(key, "DELAY") == 0)
        sleep_ms(value);
    else
        return false;
    return true;
}

// "$NAME = value": "=" is no separator, so the name must be followed by white space.
void define(const char *fname, int line, const char *s)
{
    static char name[kLineMax], value[kLineMax];
    gettok(s, name);
    if (std::strlen(name) >= kNameRefused) {
        std::fprintf(stderr, "over name length max(%d).\n", kNameBuffer);
        std::exit(1);
    }
    if (!gettok(std::strchr(s, '=') + 1, value))
        missing_value(fname, line, name);
    val_table &entry = table[table_n];
    std::strcpy(entry.name, name);
    entry.value = todigit(value);
    if (++table_n >= kTableSize) {
        std::fprintf(stderr, "over table max(%d).\n", kTableSize);
        std::exit(1);
    }
}

// A setting, a pause, or a register write: "REGISTER VALUE [w]".
void setting_or_register(const char *fname, int line, const char *s)
{
    static char addr[kLineMax], data[kLineMax], word[kLineMax];
    word[0] = '\0';
    const char *rest = gettok(s, addr);
    rest = gettok(rest, data);
    if (!rest)
        missing_value(fname, line, addr);
    gettok(rest, word);
    int value = todigit(data);
    if (apply_setting(addr, value))
        return;
    int reg = todigit(addr);
    if (word[0] == 'w' || word[0] == 'W')
        Set2Byte(reg, value);
    else
        Set1Byte(reg, value);
}

int i2c(const char *fname)
{
    File fp(std::fopen(fname, "r"));
    if (!fp) {
        std::fprintf(stderr, "can't open %s.\n", fname);
        return -1;
    }
    table_n = 0;
    for_each_line(fp.get(), [&](char *s, int line) {
        if (*s == '@')
            std::printf("%s\n", s);
        else if (std::strchr(s, '='))
            define(fname, line, s);
        else
            setting_or_register(fname, line, s);
        return true;
    });
    return 0;
}

} // namespace

int check_rawbit(const char *fname) { return scan_setting(fname, "RAWBIT", 10, RawBit); }

int check_lanes(const char *fname) { return scan_setting(fname, "DATA_LANES", 2, DataLanes); }

int InitSensor(const char *fname, int *width, int *height, int *bufsiz)
{
    Width = Height = BufSiz = 0;
    DataLanes = 2;
    if (i2c(fname) < 0)
        return -1;
    if (Width == 0 || Height == 0) {
        std::fprintf(stderr, "can't set WIDTH and/or HEIGHT\n");
        return -1;
    }
    *width = Width;
    *height = Height;
    *bufsiz = BufSiz;
    std::printf("--- %s ---\n", fname);
    std::printf("RAWBIT     : %4d\n", RawBit);
    std::printf("DATA_LANES : %4d\n", DataLanes);
    std::printf("I2C_ADDRESS: 0x%02X\n", I2C_ADDRESS);
    std::printf("WIDTH      : %4d\n", Width);
    std::printf("HEIGHT     : %4d\n", Height);
    std::printf("BUFSIZ     : %d\n", BufSiz);
    std::printf("----------\n");
    return 0;
}

void StopSensor(void) { Set1Byte(0x0100, 0x00); }

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
        std::fprintf(stderr, "GetReg: error@read %s\n", std::strerror(read_errno));
        std::fprintf(stderr, "I2C_ADDRESS: %x\n", I2C_ADDRESS);
        std::fprintf(stderr, "len: len=%d  n=%d\n", len, static_cast<int>(n));
        std::exit(1);
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
