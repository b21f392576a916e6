// NEON kernels of the unpacking (on 32-bit ARM built with -mfpu=neon for this file only).
#include "unpack_neon.h"

#ifdef TOLVA_UNPACK_NEON
#include "unpack.h"

#include <arm_neon.h>

namespace {

constexpr int kRaw10Bytes = 5, kRaw12Bytes = 3;

using Kernel = void (*)(unsigned char *dst, const unsigned char *src, long long groups);

// Bytes 0..3 and 5..8 of two RAW10 groups, and their low-bits bytes 4 and 9 for each sample.
const uint8x8_t kRaw10Leading = {0, 1, 2, 3, 5, 6, 7, 8};
const uint8x8_t kRaw10LowBits = {4, 4, 4, 4, 9, 9, 9, 9};

// 16 bytes from src: two RAW10 groups and 6 bytes beyond them.
uint8x8x2_t load16(const unsigned char *src) { return {{vld1_u8(src), vld1_u8(src + 8)}}; }

} // namespace

namespace {

// Each step converts `step` groups at src, reading `reach` bytes, into `out` bytes at dst; the
// plain kernel `tail` takes the groups too near the end for a step's loads.
template <void (*convert)(unsigned char *, const unsigned char *), int step, int group_bytes,
          int reach, int out, Kernel tail>
void kernel_neon(unsigned char *dst, const unsigned char *src, long long groups)
{
    long long vector = vector_groups(groups, group_bytes, step, reach);
    for (long long g = 0; g < vector; g += step, src += step * group_bytes, dst += out)
        convert(dst, src);
    tail(dst, src, groups - vector);
}

// Two RAW10 groups to 8 16-bit samples; sample k of a group takes bits 2k+1..2k of the
// low-bits byte.
void raw10_16_step(unsigned char *dst, const unsigned char *src)
{
    const int8x8_t low_shift = {0, -2, -4, -6, 0, -2, -4, -6};
    uint8x8x2_t in = load16(src);
    uint8x8_t leading = vtbl2_u8(in, kRaw10Leading);
    uint8x8_t low = vand_u8(vshl_u8(vtbl2_u8(in, kRaw10LowBits), low_shift), vdup_n_u8(3));
    vst1q_u8(dst, vreinterpretq_u8_u16(vorrq_u16(vshll_n_u8(leading, 2), vmovl_u8(low))));
}

// Eight RAW12 groups, de-interleaved on loading into the even and the odd samples' leading bytes
// and their low-bits bytes, to 16 16-bit samples.
void raw12_16_step(unsigned char *dst, const unsigned char *src)
{
    uint8x8x3_t in = vld3_u8(src);
    uint16x8x2_t samples;
    samples.val[0] =
        vorrq_u16(vshll_n_u8(in.val[0], 4), vmovl_u8(vand_u8(in.val[2], vdup_n_u8(0x0F))));
    samples.val[1] = vorrq_u16(vshll_n_u8(in.val[1], 4), vmovl_u8(vshr_n_u8(in.val[2], 4)));
    vst2q_u16(reinterpret_cast<uint16_t *>(dst), samples);
}

void raw10_8_step(unsigned char *dst, const unsigned char *src)
{
    vst1_u8(dst, vtbl2_u8(load16(src), kRaw10Leading));
}

void raw12_8_step(unsigned char *dst, const unsigned char *src)
{
    uint8x8x3_t in = vld3_u8(src);
    vst2_u8(dst, uint8x8x2_t{{in.val[0], in.val[1]}});
}

} // namespace

void raw10_to_16_neon(unsigned char *dst, const unsigned char *src, long long groups)
{
    kernel_neon<raw10_16_step, 2, kRaw10Bytes, 16, 16, raw10_to_16>(dst, src, groups);
}

void raw12_to_16_neon(unsigned char *dst, const unsigned char *src, long long groups)
{
    kernel_neon<raw12_16_step, 8, kRaw12Bytes, 24, 32, raw12_to_16>(dst, src, groups);
}

void raw10_to_8_neon(unsigned char *dst, const unsigned char *src, long long groups)
{
    kernel_neon<raw10_8_step, 2, kRaw10Bytes, 16, 8, raw10_to_8>(dst, src, groups);
}

void raw12_to_8_neon(unsigned char *dst, const unsigned char *src, long long groups)
{
    kernel_neon<raw12_8_step, 8, kRaw12Bytes, 24, 16, raw12_to_8>(dst, src, groups);
}
#endif
