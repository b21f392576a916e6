// Unpacking of packed RAW10 and RAW12 samples: plain and vector kernels, whole streams and lines.
#include "unpack.h"

#include "cpu_features.h"
#include "unpack_neon.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TOLVA_UNPACK_X86 1
#endif

namespace {

constexpr int kRaw10Samples = 4, kRaw10Bytes = 5;
constexpr int kRaw12Samples = 2, kRaw12Bytes = 3;

using Kernel = void (*)(unsigned char *dst, const unsigned char *src, long long groups);

struct Kernels {
    const char *name;
    Kernel raw10_16, raw12_16, raw10_8, raw12_8;
};

const Kernels kPlain = {"plain", raw10_to_16, raw12_to_16, raw10_to_8, raw12_to_8};

// Stores 16-bit samples low byte first; on little-endian hosts (the Pi, PCs) that is one copy.
void store_le16(unsigned char *dst, const std::uint16_t *samples, int count)
{
    if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) {
        std::memcpy(dst, samples, static_cast<size_t>(count) * 2);
    } else {
        for (int k = 0; k < count; ++k) {
            dst[2 * k] = static_cast<unsigned char>(samples[k]);
            dst[2 * k + 1] = static_cast<unsigned char>(samples[k] >> 8);
        }
    }
}

// Keeps the first `keep` bytes of every group of `group` bytes.
void keep_leading_bytes(unsigned char *dst, const unsigned char *src, long long groups, int group,
                        int keep)
{
    for (long long g = 0; g < groups; ++g, src += group, dst += keep)
        std::memcpy(dst, src, static_cast<size_t>(keep));
}

} // namespace

long long vector_groups(long long groups, int group_bytes, int step_groups, int reach)
{
    long long bytes = groups * group_bytes;
    if (bytes < reach)
        return 0;
    return ((bytes - reach) / (static_cast<long long>(step_groups) * group_bytes) + 1) *
           step_groups;
}

void raw10_to_16(unsigned char *dst, const unsigned char *src, long long groups)
{
    for (long long g = 0; g < groups; ++g, src += kRaw10Bytes, dst += 2 * kRaw10Samples) {
        unsigned int low = src[4];
        std::uint16_t samples[4] = {static_cast<std::uint16_t>((src[0] << 2) | (low & 3)),
                                    static_cast<std::uint16_t>((src[1] << 2) | ((low >> 2) & 3)),
                                    static_cast<std::uint16_t>((src[2] << 2) | ((low >> 4) & 3)),
                                    static_cast<std::uint16_t>((src[3] << 2) | (low >> 6))};
        store_le16(dst, samples, kRaw10Samples);
    }
}

void raw12_to_16(unsigned char *dst, const unsigned char *src, long long groups)
{
    for (long long g = 0; g < groups; ++g, src += kRaw12Bytes, dst += 2 * kRaw12Samples) {
        std::uint16_t samples[2] = {static_cast<std::uint16_t>((src[0] << 4) | (src[2] & 0x0F)),
                                    static_cast<std::uint16_t>((src[1] << 4) | (src[2] >> 4))};
        store_le16(dst, samples, kRaw12Samples);
    }
}

// The 8 most significant bits of a sample are its packed leading byte.
void raw10_to_8(unsigned char *dst, const unsigned char *src, long long groups)
{
    keep_leading_bytes(dst, src, groups, kRaw10Bytes, kRaw10Samples);
}

void raw12_to_8(unsigned char *dst, const unsigned char *src, long long groups)
{
    keep_leading_bytes(dst, src, groups, kRaw12Bytes, kRaw12Samples);
}

namespace {

#ifdef TOLVA_UNPACK_X86
// SSSE3: one byte shuffle puts each sample's bytes into its 16-bit lane; shifts and masks (or a
// multiply, for the per-sample shifts of the RAW10 low bits) finish it. Each step converts 4
// groups of RAW10 (two loads at 0 and 10) or 8 groups of RAW12 (loads at 0 and 12).
constexpr int kZ = -128; // a shuffle index that gives 0

__attribute__((target("ssse3"))) __m128i raw10_samples_ssse3(__m128i in)
{
    const __m128i leading = _mm_setr_epi8(kZ, 0, kZ, 1, kZ, 2, kZ, 3, kZ, 5, kZ, 6, kZ, 7, kZ, 8);
    const __m128i low_bits = _mm_setr_epi8(kZ, 4, kZ, 4, kZ, 4, kZ, 4, kZ, 9, kZ, 9, kZ, 9, kZ, 9);
    // (b4 << 8) x 2^(8 - 2k) >> 16 = b4 >> 2k for sample k of a group.
    const __m128i shift = _mm_setr_epi16(256, 64, 16, 4, 256, 64, 16, 4);
    __m128i high = _mm_srli_epi16(_mm_shuffle_epi8(in, leading), 6);
    __m128i low = _mm_mulhi_epu16(_mm_shuffle_epi8(in, low_bits), shift);
    return _mm_or_si128(high, _mm_and_si128(low, _mm_set1_epi16(3)));
}

__attribute__((target("ssse3"))) __m128i raw12_samples_ssse3(__m128i in)
{
    // Each lane gets (leading byte << 8) | low-bits byte; >> 4 is the odd sample, and the even
    // one keeps the leading byte's part of that and the low nibble of the unshifted lane.
    const __m128i lanes = _mm_setr_epi8(2, 0, 2, 1, 5, 3, 5, 4, 8, 6, 8, 7, 11, 9, 11, 10);
    const __m128i keep_shifted = _mm_setr_epi16(0x0FF0, -1, 0x0FF0, -1, 0x0FF0, -1, 0x0FF0, -1);
    const __m128i keep_unshifted = _mm_setr_epi16(0x000F, 0, 0x000F, 0, 0x000F, 0, 0x000F, 0);
    __m128i t = _mm_shuffle_epi8(in, lanes);
    return _mm_or_si128(_mm_and_si128(_mm_srli_epi16(t, 4), keep_shifted),
                        _mm_and_si128(t, keep_unshifted));
}

// The 16 samples of two loads, 32 bytes.
template <__m128i (*samples)(__m128i)>
__attribute__((target("ssse3"))) void store_16_ssse3(unsigned char *dst, __m128i a, __m128i b)
{
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), samples(a));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 16), samples(b));
}

// The 8-bit samples: the leading bytes of the groups of one load in its low 8 bytes.
__attribute__((target("ssse3"))) __m128i raw10_leading_ssse3(__m128i in)
{
    return _mm_shuffle_epi8(in,
                            _mm_setr_epi8(0, 1, 2, 3, 5, 6, 7, 8, kZ, kZ, kZ, kZ, kZ, kZ, kZ, kZ));
}

__attribute__((target("ssse3"))) __m128i raw12_leading_ssse3(__m128i in)
{
    return _mm_shuffle_epi8(in,
                            _mm_setr_epi8(0, 1, 3, 4, 6, 7, 9, 10, kZ, kZ, kZ, kZ, kZ, kZ, kZ, kZ));
}

// The leading bytes of two loads, 16 bytes.
template <__m128i (*leading)(__m128i)>
__attribute__((target("ssse3"))) void store_8_ssse3(unsigned char *dst, __m128i a, __m128i b)
{
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), _mm_unpacklo_epi64(leading(a), leading(b)));
}

// Each step loads 16 bytes twice, `apart` bytes apart (the groups of a step), and `store` writes
// `out` bytes of them; the plain kernel `tail` takes the groups too near the end for a load.
template <void (*store)(unsigned char *, __m128i, __m128i), int out, int group_bytes, int apart,
          Kernel tail>
__attribute__((target("ssse3"))) void kernel_ssse3(unsigned char *dst, const unsigned char *src,
                                                   long long groups)
{
    constexpr int kStep = 2 * apart / group_bytes;
    long long vector = vector_groups(groups, group_bytes, kStep, apart + 16);
    for (long long g = 0; g < vector; g += kStep, src += 2 * apart, dst += out)
        store(dst, _mm_loadu_si128(reinterpret_cast<const __m128i *>(src)),
              _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + apart)));
    tail(dst, src, groups - vector);
}

const Kernels kSsse3 = {
    "ssse3", kernel_ssse3<store_16_ssse3<raw10_samples_ssse3>, 32, kRaw10Bytes, 10, raw10_to_16>,
    kernel_ssse3<store_16_ssse3<raw12_samples_ssse3>, 32, kRaw12Bytes, 12, raw12_to_16>,
    kernel_ssse3<store_8_ssse3<raw10_leading_ssse3>, 16, kRaw10Bytes, 10, raw10_to_8>,
    kernel_ssse3<store_8_ssse3<raw12_leading_ssse3>, 16, kRaw12Bytes, 12, raw12_to_8>};

const Kernels *best_kernels()
{
    __builtin_cpu_init(); // the first call may come from a static constructor
    return __builtin_cpu_supports("ssse3") ? &kSsse3 : &kPlain;
}
#elif defined(TOLVA_UNPACK_NEON)
const Kernels kNeon = {"neon", raw10_to_16_neon, raw12_to_16_neon, raw10_to_8_neon,
                       raw12_to_8_neon};

const Kernels *best_kernels() { return neon_available() ? &kNeon : &kPlain; }
#else
const Kernels *best_kernels() { return &kPlain; }
#endif

// ForcePlain is the tests' switch to the oracle.
bool ForcePlain = false;

// The processor is asked once, at the first unpacking (whenever static constructors run).
const Kernels &kernels()
{
    static const Kernels *const best = best_kernels();
    return ForcePlain ? kPlain : *best;
}

struct Packing {
    int samples; // per group
    int bytes;   // per group
};

bool packing_of(int bits, Packing &packing)
{
    if (bits == 10)
        packing = {kRaw10Samples, kRaw10Bytes};
    else if (bits == 12)
        packing = {kRaw12Samples, kRaw12Bytes};
    else
        return false;
    return true;
}

Kernel kernel_for(int bits, int raw8)
{
    const Kernels &k = kernels();
    if (bits == 10)
        return raw8 ? k.raw10_8 : k.raw10_16;
    return raw8 ? k.raw12_8 : k.raw12_16;
}

// The first `count` samples of the group at src (count less than a group).
void unpack_partial_group(unsigned char *dst, const unsigned char *src, int count, int bits,
                          int raw8)
{
    unsigned char whole[2 * kRaw10Samples];
    kernel_for(bits, raw8)(whole, src, 1);
    std::memcpy(dst, whole, static_cast<size_t>(count) * (raw8 ? 1 : 2));
}

} // namespace

long long unpack_groups(unsigned char *dst, const unsigned char *src, long long groups, int bits,
                        int raw8)
{
    Packing packing;
    if (!packing_of(bits, packing))
        return -1;
    if (groups <= 0)
        return 0;
    kernel_for(bits, raw8)(dst, src, groups);
    return groups * packing.samples * (raw8 ? 1 : 2);
}

long long packed_line_bytes(int width, int bits)
{
    Packing packing;
    if (!packing_of(bits, packing) || width <= 0)
        return 0;
    return (static_cast<long long>(width) + packing.samples - 1) / packing.samples * packing.bytes;
}

bool lines_carry_fill(int width, int stride, int bits)
{
    long long line = packed_line_bytes(width, bits);
    return line > 0 && stride >= line && static_cast<long long>(stride) * 8 > 1LL * width * bits;
}

long long unpack_lines(unsigned char *dst, const unsigned char *src, int width, int height,
                       int stride, int bits, int raw8)
{
    Packing packing;
    if (!packing_of(bits, packing) || stride < packed_line_bytes(width, bits))
        return -1;
    if (width <= 0 || height <= 0)
        return 0;
    int whole = width / packing.samples, rest = width % packing.samples;
    long long line_out = static_cast<long long>(width) * (raw8 ? 1 : 2);
    Kernel kernel = kernel_for(bits, raw8);
    for (int y = 0; y < height; ++y, src += stride, dst += line_out) {
        kernel(dst, src, whole);
        if (rest != 0)
            unpack_partial_group(dst + line_out - rest * (raw8 ? 1 : 2),
                                 src + static_cast<long long>(whole) * packing.bytes, rest, bits,
                                 raw8);
    }
    return line_out * height;
}

const char *unpack_path() { return kernels().name; }

void unpack_force_plain(int plain) { ForcePlain = plain != 0; }
