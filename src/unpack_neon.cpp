// NEON kernels of the unpacking (32-bit ARM, built with -mfpu=neon for this file only).
#include "unpack_neon.h"

#ifdef TOLVA_UNPACK_NEON
#include "unpack.h"

#include <arm_neon.h>
#include <asm/hwcap.h>
#include <sys/auxv.h>

namespace {

constexpr int kRaw10Bytes = 5, kRaw12Bytes = 3;

// Bytes 0..3 and 5..8 of two RAW10 groups, and their low-bits bytes 4 and 9 for each sample.
const uint8x8_t kRaw10Leading = {0, 1, 2, 3, 5, 6, 7, 8};
const uint8x8_t kRaw10LowBits = {4, 4, 4, 4, 9, 9, 9, 9};

// 16 bytes from src: two RAW10 groups and 6 bytes beyond them.
uint8x8x2_t load16(const unsigned char *src) { return {{vld1_u8(src), vld1_u8(src + 8)}}; }

} // namespace

bool neon_available() { return (getauxval(AT_HWCAP) & HWCAP_NEON) != 0; }

void raw10_to_16_neon(unsigned char *dst, const unsigned char *src, long long groups)
{
    constexpr int kStep = 2;
    // Sample k of a group takes bits 2k+1..2k of the low-bits byte.
    const int8x8_t low_shift = {0, -2, -4, -6, 0, -2, -4, -6};
    long long vector = vector_groups(groups, kRaw10Bytes, kStep, 16);
    for (long long g = 0; g < vector; g += kStep, src += kStep * kRaw10Bytes, dst += 16) {
        uint8x8x2_t in = load16(src);
        uint8x8_t leading = vtbl2_u8(in, kRaw10Leading);
        uint8x8_t low = vand_u8(vshl_u8(vtbl2_u8(in, kRaw10LowBits), low_shift), vdup_n_u8(3));
        vst1q_u16(reinterpret_cast<uint16_t *>(dst),
                  vorrq_u16(vshll_n_u8(leading, 2), vmovl_u8(low)));
    }
    raw10_to_16(dst, src, groups - vector);
}

void raw12_to_16_neon(unsigned char *dst, const unsigned char *src, long long groups)
{
    constexpr int kStep = 8;
    long long vector = vector_groups(groups, kRaw12Bytes, kStep, kStep * kRaw12Bytes);
    for (long long g = 0; g < vector; g += kStep, src += kStep * kRaw12Bytes, dst += 32) {
        uint8x8x3_t in = vld3_u8(src);
        uint16x8x2_t samples;
        samples.val[0] =
            vorrq_u16(vshll_n_u8(in.val[0], 4), vmovl_u8(vand_u8(in.val[2], vdup_n_u8(0x0F))));
        samples.val[1] = vorrq_u16(vshll_n_u8(in.val[1], 4), vmovl_u8(vshr_n_u8(in.val[2], 4)));
        vst2q_u16(reinterpret_cast<uint16_t *>(dst), samples);
    }
    raw12_to_16(dst, src, groups - vector);
}

void raw10_to_8_neon(unsigned char *dst, const unsigned char *src, long long groups)
{
    constexpr int kStep = 2;
    long long vector = vector_groups(groups, kRaw10Bytes, kStep, 16);
    for (long long g = 0; g < vector; g += kStep, src += kStep * kRaw10Bytes, dst += 8)
        vst1_u8(dst, vtbl2_u8(load16(src), kRaw10Leading));
    raw10_to_8(dst, src, groups - vector);
}

void raw12_to_8_neon(unsigned char *dst, const unsigned char *src, long long groups)
{
    constexpr int kStep = 8;
    long long vector = vector_groups(groups, kRaw12Bytes, kStep, kStep * kRaw12Bytes);
    for (long long g = 0; g < vector; g += kStep, src += kStep * kRaw12Bytes, dst += 16) {
        uint8x8x3_t in = vld3_u8(src);
        vst2_u8(dst, uint8x8x2_t{{in.val[0], in.val[1]}});
    }
    raw12_to_8(dst, src, groups - vector);
}
#endif
