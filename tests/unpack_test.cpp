// Tests of the unpacking: the plain kernels against an independent reference, the vector kernels
// against the plain ones (every packing, both output widths, awkward sizes and alignments), and
// the line-aware unpacking of frames with line fill.
#include "raw_reference.h"
#include "unpack.h"

#include <gtest/gtest.h>

#if defined(__x86_64__) || defined(__i386__)
#define TOLVA_TEST_X86 1
#elif defined(__arm__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

namespace {

constexpr unsigned char kUntouched = 0xA5;

struct Packing {
    int bits;
    int raw8;
};

int group_bytes(int bits) { return bits == 10 ? 5 : 3; }
int group_samples(int bits) { return bits == 10 ? 4 : 2; }
int sample_bytes(int raw8) { return raw8 ? 1 : 2; }

Bytes random_bytes(size_t count, unsigned seed)
{
    Bytes bytes(count);
    std::mt19937 random(seed);
    for (auto &b : bytes)
        b = static_cast<unsigned char>(random());
    return bytes;
}

// The output bytes of these samples: 16-bit little-endian, or their 8 most significant bits.
Bytes output_of(const std::vector<std::uint16_t> &samples, int bits, int raw8)
{
    Bytes out;
    for (std::uint16_t s : samples) {
        if (raw8) {
            out.push_back(static_cast<unsigned char>(s >> (bits - 8)));
        } else {
            out.push_back(static_cast<unsigned char>(s));
            out.push_back(static_cast<unsigned char>(s >> 8));
        }
    }
    return out;
}

// Unpacks `groups` groups with the source at `src_offset` in a buffer that ends with them (so a
// read past the stream is caught by the sanitizer build) and the output at `dst_offset`, inside
// guard bytes that must stay untouched.
Bytes unpack_placed(const Bytes &packed, long long groups, Packing p, size_t src_offset,
                    size_t dst_offset)
{
    Bytes src(src_offset + packed.size());
    std::copy(packed.begin(), packed.end(), src.begin() + static_cast<long>(src_offset));
    size_t out_bytes = static_cast<size_t>(groups) * group_samples(p.bits) * sample_bytes(p.raw8);
    Bytes dst(dst_offset + out_bytes + 64, kUntouched);
    long long written =
        unpack_groups(dst.data() + dst_offset, src.data() + src_offset, groups, p.bits, p.raw8);
    EXPECT_EQ(written, static_cast<long long>(out_bytes));
    for (size_t i = 0; i < dst.size(); ++i) {
        if (i < dst_offset || i >= dst_offset + out_bytes) {
            EXPECT_EQ(dst[i], kUntouched) << "byte " << i << " outside the output";
        }
    }
    return Bytes(dst.begin() + static_cast<long>(dst_offset),
                 dst.begin() + static_cast<long>(dst_offset + out_bytes));
}

// Every test runs once on the processor's own path and once on the plain kernels.
class PathTest : public testing::TestWithParam<bool> {
protected:
    void SetUp() override { unpack_force_plain(GetParam()); }
    void TearDown() override { unpack_force_plain(0); }
};

std::string path_name(const testing::TestParamInfo<bool> &info)
{
    return info.param ? "plain" : "fast";
}

class GroupsTest : public PathTest {};

// Group counts below, at and past every step of the vector loops, and a large odd one.
const long long kGroupCounts[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10,  11,   12,
                                  13, 15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 1000, 4097};

TEST_P(GroupsTest, MatchTheReferenceForEveryCountAndAlignment)
{
    for (Packing p : {Packing{10, 0}, Packing{10, 1}, Packing{12, 0}, Packing{12, 1}}) {
        for (long long groups : kGroupCounts) {
            Bytes packed = random_bytes(static_cast<size_t>(groups) * group_bytes(p.bits),
                                        static_cast<unsigned>(groups * 31 + p.bits + p.raw8));
            int samples = static_cast<int>(groups) * group_samples(p.bits);
            Bytes expected = output_of(
                tolva::test::unpack_reference(packed.data(), samples, 1, p.bits, packed.size()),
                p.bits, p.raw8);
            for (size_t src_offset : {0, 1, 3, 7, 15})
                for (size_t dst_offset : {0, 1, 2, 9}) {
                    ASSERT_EQ(unpack_placed(packed, groups, p, src_offset, dst_offset), expected)
                        << "RAW" << p.bits << (p.raw8 ? " to 8 bits, " : " to 16 bits, ") << groups
                        << " groups, source +" << src_offset << ", output +" << dst_offset
                        << ", path " << unpack_path();
                }
        }
    }
}

TEST_P(GroupsTest, ExtremeSamplesKeepEveryBit)
{
    // All ones, all zeros and one bit at a time: a lost or misplaced bit changes a sample.
    for (Packing p : {Packing{10, 0}, Packing{10, 1}, Packing{12, 0}, Packing{12, 1}}) {
        const long long groups = 40;
        for (int bit = -1; bit < 8 * group_bytes(p.bits) * groups; bit += 7) {
            for (unsigned char background : {0x00, 0xFF}) {
                Bytes packed(static_cast<size_t>(groups) * group_bytes(p.bits), background);
                if (bit >= 0)
                    packed[static_cast<size_t>(bit / 8)] ^=
                        static_cast<unsigned char>(1 << bit % 8);
                int samples = static_cast<int>(groups) * group_samples(p.bits);
                Bytes expected = output_of(
                    tolva::test::unpack_reference(packed.data(), samples, 1, p.bits, packed.size()),
                    p.bits, p.raw8);
                ASSERT_EQ(unpack_placed(packed, groups, p, 0, 0), expected)
                    << "RAW" << p.bits << " raw8 " << p.raw8 << " bit " << bit;
            }
        }
    }
}

TEST_P(GroupsTest, OtherDepthsWriteNothing)
{
    Bytes src(60, 0x5A), dst(128, kUntouched);
    for (int bits : {0, 8, 11, 14, 16})
        for (int raw8 : {0, 1}) {
            EXPECT_EQ(unpack_groups(dst.data(), src.data(), 12, bits, raw8), -1) << bits;
            EXPECT_EQ(dst, Bytes(128, kUntouched)) << "bits " << bits;
        }
}

INSTANTIATE_TEST_SUITE_P(Paths, GroupsTest, testing::Values(false, true), path_name);

TEST(UnpackPath, TheProcessorsVectorKernelsAreTakenAndCanBeSwitchedOff)
{
    std::string expected = "plain";
#ifdef TOLVA_TEST_X86
    if (__builtin_cpu_supports("ssse3"))
        expected = "ssse3";
#elif defined(__aarch64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    expected = "neon"; // every 64-bit ARM processor has it
#elif defined(__arm__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (getauxval(AT_HWCAP) & HWCAP_NEON)
        expected = "neon";
    // The emulator of the armhf test run has NEON: there the NEON kernels must be what is tested.
    const char *emulator = std::getenv("TOLVA_EMULATOR");
    if (emulator && std::string(emulator) == "qemu-arm") {
        EXPECT_EQ(expected, "neon") << "qemu-arm reports no NEON: set QEMU_CPU";
    }
#endif
    EXPECT_EQ(unpack_path(), expected);
    unpack_force_plain(1);
    EXPECT_STREQ(unpack_path(), "plain");
    unpack_force_plain(0);
    EXPECT_EQ(unpack_path(), expected);
}

TEST(LineFill, IsFoundWhenLinesAreLongerThanTheirPackedSamples)
{
    EXPECT_EQ(packed_line_bytes(2028, 12), 3042);
    EXPECT_EQ(packed_line_bytes(1920, 10), 2400);
    EXPECT_EQ(packed_line_bytes(38, 10), 50); // a last partial group counts whole
    EXPECT_EQ(packed_line_bytes(7, 12), 12);
    EXPECT_EQ(packed_line_bytes(0, 12), 0);
    EXPECT_EQ(packed_line_bytes(64, 14), 0);

    EXPECT_FALSE(lines_carry_fill(2028, 3042, 12));
    EXPECT_TRUE(lines_carry_fill(2028, 3043, 12));
    EXPECT_TRUE(lines_carry_fill(2028, 3072, 12));
    EXPECT_FALSE(lines_carry_fill(1920, 2400, 10));
    EXPECT_TRUE(lines_carry_fill(1920, 2432, 10));
    // 38 RAW10 samples fill 9.5 groups: a line of 10 whole groups has the rest as fill; a line
    // shorter than that cannot hold the last group.
    EXPECT_TRUE(lines_carry_fill(38, 50, 10));
    EXPECT_FALSE(lines_carry_fill(38, 48, 10));
    EXPECT_FALSE(lines_carry_fill(2028, 3072, 14));
    EXPECT_FALSE(lines_carry_fill(0, 3072, 12));
}

struct FillCase {
    int width;
    int height;
    int fill; // bytes after each line's packed samples
    int bits;
};

class LinesTest : public testing::TestWithParam<std::tuple<FillCase, bool>> {
protected:
    void SetUp() override { unpack_force_plain(std::get<1>(GetParam())); }
    void TearDown() override { unpack_force_plain(0); }
};

TEST_P(LinesTest, HoldExactlyTheSamplesOfEachLine)
{
    const FillCase &f = std::get<0>(GetParam());
    int stride = static_cast<int>(packed_line_bytes(f.width, f.bits)) + f.fill;
    Bytes raw = random_bytes(static_cast<size_t>(stride) * f.height,
                             static_cast<unsigned>(f.width * 13 + f.fill));
    auto samples = tolva::test::unpack_reference(raw.data(), f.width, f.height, f.bits, stride);
    for (int raw8 : {0, 1}) {
        Bytes expected = output_of(samples, f.bits, raw8);
        Bytes dst(expected.size() + 32, kUntouched);
        EXPECT_EQ(unpack_lines(dst.data(), raw.data(), f.width, f.height, stride, f.bits, raw8),
                  static_cast<long long>(expected.size()));
        EXPECT_EQ(Bytes(dst.begin() + static_cast<long>(expected.size()), dst.end()),
                  Bytes(32, kUntouched))
            << "written past the frame";
        dst.resize(expected.size());
        for (size_t n = 0; n < expected.size(); ++n)
            ASSERT_EQ(dst[n], expected[n])
                << "byte " << n << " of line " << n / (f.width * sample_bytes(raw8)) << ", raw8 "
                << raw8 << ", path " << unpack_path();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fills, LinesTest,
    testing::Combine(testing::Values(FillCase{2028, 6, 30, 12}, FillCase{64, 5, 32, 10},
                                     FillCase{38, 4, 0, 10}, FillCase{37, 3, 11, 10},
                                     FillCase{39, 3, 1, 10}, FillCase{7, 5, 4, 12},
                                     FillCase{1, 3, 0, 12}, FillCase{1, 2, 5, 10},
                                     FillCase{4, 1, 3, 10}, FillCase{2, 1, 1, 12},
                                     FillCase{1928, 3, 24, 10}, FillCase{333, 4, 77, 12}),
                     testing::Values(false, true)),
    [](const testing::TestParamInfo<std::tuple<FillCase, bool>> &info) {
        const FillCase &f = std::get<0>(info.param);
        return "raw" + std::to_string(f.bits) + "_" + std::to_string(f.width) + "x" +
               std::to_string(f.height) + "_fill" + std::to_string(f.fill) +
               (std::get<1>(info.param) ? "_plain" : "_fast");
    });

TEST(LineFill, LinesTooShortOrOtherDepthsWriteNothing)
{
    Bytes raw(400, 0x3C), dst(800, kUntouched);
    EXPECT_EQ(unpack_lines(dst.data(), raw.data(), 64, 4, 79, 10, 0), -1);
    EXPECT_EQ(unpack_lines(dst.data(), raw.data(), 38, 4, 49, 10, 0), -1);
    EXPECT_EQ(unpack_lines(dst.data(), raw.data(), 64, 4, 96, 14, 0), -1);
    EXPECT_EQ(unpack_lines(dst.data(), raw.data(), 64, 0, 96, 12, 1), 0);
    EXPECT_EQ(dst, Bytes(800, kUntouched));
}

} // namespace
