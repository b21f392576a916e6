// The target's C ABI as the program relies on it: 64-bit file offsets on every write path a
// recorder uses, and the sizes of long and time_t reported for the record.
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <limits>
#include <ostream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using tolva::test::ScratchDir;

static_assert(sizeof(off_t) == 8, "the build must have 64-bit file offsets (_FILE_OFFSET_BITS=64)");
static_assert(sizeof(std::streamoff) == 8, "iostreams must seek past 2 GiB");
// Time points the program computes from the system clock must not wrap in 2038, even where
// time_t does.
static_assert(std::numeric_limits<std::chrono::system_clock::rep>::digits >= 63,
              "the system clock's count must be 64 bits");

namespace {

// Past 4 GiB, so an offset cut to 32 bits, signed or not, lands elsewhere.
const std::int64_t kFar = (std::int64_t{1} << 32) + 3;
const std::string kMarker = "frame";

// Each write path puts the marker at kFar into an empty file and returns the position after it.
using WritePath = std::int64_t (*)(const std::string &path);

std::int64_t write_with_pwrite(const std::string &path)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return -1;
    ssize_t n = pwrite(fd, kMarker.data(), kMarker.size(), kFar);
    off_t end = lseek(fd, 0, SEEK_END);
    close(fd);
    return n == static_cast<ssize_t>(kMarker.size()) ? end : -1;
}

std::int64_t write_with_stdio(const std::string &path)
{
    std::FILE *fp = std::fopen(path.c_str(), "wb");
    if (!fp)
        return -1;
    bool written = fseeko(fp, kFar, SEEK_SET) == 0 &&
                   std::fwrite(kMarker.data(), 1, kMarker.size(), fp) == kMarker.size();
    off_t end = ftello(fp);
    return std::fclose(fp) == 0 && written ? end : -1;
}

std::int64_t write_with_ofstream(const std::string &path)
{
    std::ofstream out(path, std::ios::binary);
    out.seekp(kFar);
    out.write(kMarker.data(), static_cast<std::streamsize>(kMarker.size()));
    std::streamoff end = out.tellp();
    out.close();
    return out ? end : -1;
}

struct WriteCase {
    const char *name;
    WritePath write;
};

void PrintTo(const WriteCase &write_case, std::ostream *os) { *os << write_case.name; }

class FarWriteTest : public testing::TestWithParam<WriteCase> {
protected:
    ScratchDir dir;
};

TEST_P(FarWriteTest, WritesAndReadsBackPast4GiB)
{
    const std::string path = dir.path() + "/sparse.bin";
    const std::int64_t end = kFar + static_cast<std::int64_t>(kMarker.size());
    ASSERT_EQ(GetParam().write(path), end) << path;

    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, end);
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::string back(kMarker.size(), '\0');
    EXPECT_EQ(pread(fd, back.data(), back.size(), kFar), static_cast<ssize_t>(back.size()));
    close(fd);
    EXPECT_EQ(back, kMarker);
}

INSTANTIATE_TEST_SUITE_P(Paths, FarWriteTest,
                         testing::Values(WriteCase{"pwrite", write_with_pwrite},
                                         WriteCase{"stdio", write_with_stdio},
                                         WriteCase{"ofstream", write_with_ofstream}),
                         [](const testing::TestParamInfo<WriteCase> &info) {
                             return std::string(info.param.name);
                         });

// long follows the platform (32 bits on armhf); the program keeps seconds and byte counts in
// fixed 64-bit types instead, and builds with 64-bit time_t where the C library offers it. Printed
// with every run so the log of each target says which it was.
class TypeSizeReport : public testing::Environment {
public:
    void SetUp() override
    {
        std::printf("sizeof: long %zu, time_t %zu, off_t %zu, size_t %zu, void* %zu\n",
                    sizeof(long), sizeof(std::time_t), sizeof(off_t), sizeof(std::size_t),
                    sizeof(void *));
        std::printf("time_t ends %lld s after 1970\n",
                    static_cast<long long>(std::numeric_limits<std::time_t>::max()));
    }
};

TEST(Abi, TimeGoesOnPast2038WhereTheCLibraryAllowsIt)
{
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    EXPECT_EQ(sizeof(std::time_t), 8u);
    std::time_t after_2038 = static_cast<std::time_t>(INT64_C(2200000000)); // 2039-09-18
    std::tm utc{};
    ASSERT_NE(gmtime_r(&after_2038, &utc), nullptr);
    EXPECT_EQ(utc.tm_year + 1900, 2039);
#else
    GTEST_SKIP() << "this C library has no 64-bit time_t on 32-bit systems";
#endif
}

const testing::Environment *const type_size_report =
    testing::AddGlobalTestEnvironment(new TypeSizeReport);

} // namespace
