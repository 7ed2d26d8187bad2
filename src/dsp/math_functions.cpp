#include "dsp/math_functions.h"

#include <bit>
#include <cstdint>
#include <limits>

// Every operation below must round exactly once, in double precision: a target that evaluates in the x87
// unit's extended precision, or a compiler that fuses a multiply and an add, would give other bits.
#if defined(__i386__) && (!defined(__SSE2_MATH__) || __FLT_EVAL_METHOD__ != 0)
#error "32-bit x86 builds need SSE2 math: compile with -msse2 -mfpmath=sse (the toolchain files set both)"
#endif
#if defined(__FAST_MATH__)
#error "the math functions must not be built with -ffast-math"
#endif

namespace solvantis::math {

namespace {

// ---------------------------------------------------------------- double-double arithmetic
// A value held as hi + lo with |lo| <= half an ulp of hi: about 106 bits. Only +, -, * and / are used,
// so every IEEE target gives the same bits.
struct Wide {
    double hi;
    double lo;
};

inline Wide twoSum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

// a * b exactly, by Veltkamp's split into 26-bit halves (no fused multiply-add).
inline void split(double a, double& hi, double& lo) {
    const double c = 134217729.0 * a; // 2^27 + 1
    hi = c - (c - a);
    lo = a - hi;
}

inline Wide twoProduct(double a, double b) {
    const double p = a * b;
    double ah;
    double al;
    double bh;
    double bl;
    split(a, ah, al);
    split(b, bh, bl);
    return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
}

inline uint64_t bitsOf(double x) {
    return std::bit_cast<uint64_t>(x);
}
inline double fromBits(uint64_t b) {
    return std::bit_cast<double>(b);
}

// ---------------------------------------------------------------- tables
// log: x = 2^k * z with z in [0.6875, 1.375), cut into 64 intervals by the top six mantissa bits of
// bits(x) - bits(0.6875). For each: invc, about 1 / (interval centre) with at most 26 significant bits
// (so z * invc is exact for a float z), and log(1 / invc) as hi + lo. The interval that holds 1 has
// invc = 1, so logarithms near 1 carry no table rounding. |z * invc - 1| < 2^-6.
constexpr uint64_t logOffset = 0x3fe6000000000000;
constexpr int logTableBits = 6;
struct LogEntry {
    double invc;
    double logcHi;
    double logcLo;
};
constexpr LogEntry logTable[1 << logTableBits] = {
    {0x1.7242880000000p+0, -0x1.79e266a7cfb3ep-2, 0x1.e168817399478p-56},
    {0x1.6e1f768000000p+0, -0x1.6e60edd8f1971p-2, -0x1.bf3f084c10988p-56},
    {0x1.6a13cd0000000p+0, -0x1.63003077aac49p-2, -0x1.f6319c926bf33p-58},
    {0x1.661ec68000000p+0, -0x1.57bf74d28d1fbp-2, 0x1.e3a468c7ff907p-56},
    {0x1.623fa78000000p+0, -0x1.4c9e0a0f72c3cp-2, 0x1.0d5b0ad4ade84p-57},
    {0x1.5e75bb8000000p+0, -0x1.419b42175e8c7p-2, -0x1.66f6486bd7478p-58},
    {0x1.5ac0568000000p+0, -0x1.36b676dde1116p-2, -0x1.3d4c3c23b0f47p-56},
    {0x1.571ed40000000p+0, -0x1.2bef087dc9353p-2, 0x1.4adad78e9b5dep-56},
    {0x1.5390948000000p+0, -0x1.214456a2eb8d4p-2, -0x1.736e91aac475fp-57},
    {0x1.5015018000000p+0, -0x1.16b5cd4ccfb73p-2, 0x1.33242d356e621p-56},
    {0x1.4cab888000000p+0, -0x1.0c42d6a0162e3p-2, -0x1.cd63cedec4f72p-61},
    {0x1.49539e0000000p+0, -0x1.01eae4aa6c690p-2, 0x1.141487e43eecap-58},
    {0x1.460cbc8000000p+0, -0x1.ef5ade51cffe6p-3, 0x1.092b2ddc705f6p-58},
    {0x1.42d6628000000p+0, -0x1.db13dbe94893fp-3, -0x1.e0c8ea85f3fb1p-57},
    {0x1.3fb0140000000p+0, -0x1.c6ffbc8f00f71p-3, 0x1.9e58b2c54f9fap-57},
    {0x1.3c995a8000000p+0, -0x1.b31d86e1bce3bp-3, 0x1.7993aa431cffap-57},
    {0x1.3991c30000000p+0, -0x1.9f6c420889662p-3, 0x1.db97992514607p-57},
    {0x1.3698df0000000p+0, -0x1.8beafd1b8fe8ap-3, 0x1.7e2abba4a62e3p-57},
    {0x1.33ae458000000p+0, -0x1.7898d6f044c71p-3, -0x1.3b87b67902254p-57},
    {0x1.30d1900000000p+0, -0x1.6574eb68c133ap-3, 0x1.3a69e1f36ee28p-57},
    {0x1.2e025c0000000p+0, -0x1.527e5e2a1b58dp-3, 0x1.38d4b41320354p-60},
    {0x1.2b404b0000000p+0, -0x1.3fb45ba1928cap-3, 0x1.a5f9a60746c09p-59},
    {0x1.288b010000000p+0, -0x1.2d160fb068139p-3, 0x1.6dcd20027f206p-57},
    {0x1.25e2270000000p+0, -0x1.1aa2b7aa3f72ap-3, 0x1.45778ecf60d15p-58},
    {0x1.2345678000000p+0, -0x1.08598b15e3a06p-3, -0x1.da4ff66e3aa23p-57},
    {0x1.20b4710000000p+0, -0x1.ec739b60a111bp-4, 0x1.235fc9d8dc6a6p-58},
    {0x1.1e2ef38000000p+0, -0x1.c8857d33c4b1fp-4, -0x1.7e19669bf5e03p-59},
    {0x1.1bb4a40000000p+0, -0x1.a4e763cb1bc38p-4, 0x1.7b5ca204397afp-58},
    {0x1.1945380000000p+0, -0x1.8197e2740e3f0p-4, 0x1.1834803aef5a0p-62},
    {0x1.16e0688000000p+0, -0x1.5e95a3b1791cbp-4, 0x1.71f174b66bb41p-59},
    {0x1.1485f10000000p+0, -0x1.3bdf5c4d1ee63p-4, 0x1.d4b448e34bb26p-58},
    {0x1.12358e8000000p+0, -0x1.1973bdac65567p-4, 0x1.6f2c1b38be3d0p-58},
    {0x1.0fef010000000p+0, -0x1.eea31a206b87bp-5, 0x1.849f92bd46cd9p-60},
    {0x1.0db20a8000000p+0, -0x1.aaef2bffb10fcp-5, 0x1.7056226b5afe7p-60},
    {0x1.0b7e6f0000000p+0, -0x1.67c9568d4bb4bp-5, 0x1.5fec1154444bep-59},
    {0x1.0953f38000000p+0, -0x1.252f3108d183ep-5, 0x1.557f794cdfe6bp-59},
    {0x1.0732608000000p+0, -0x1.c63d25e14aae8p-6, 0x1.30030e0c7b2e2p-60},
    {0x1.05197f8000000p+0, -0x1.432a92f980cc1p-6, 0x1.bedaf38fb0c3dp-60},
    {0x1.03091b8000000p+0, -0x1.8244a0f88a28ap-7, 0x1.c34e801e5cbf7p-62},
    {0x1.0101010000000p+0, -0x1.0080549588b35p-8, -0x1.d96638cf4e121p-62},
    {0x1.0000000000000p+0, 0x0.0p+0, 0x0.0p+0},
    {0x1.f4465a0000000p-1, 0x1.7b91acfd5b11cp-6, 0x1.893fa9f13608bp-61},
    {0x1.ecc07b0000000p-1, 0x1.39e87ebfebd62p-5, 0x1.a015b48db63c3p-61},
    {0x1.e573ac8000000p-1, 0x1.b42dd821971bfp-5, 0x1.59a2992e6c2f1p-62},
    {0x1.de5d6e0000000p-1, 0x1.1653710a37ae3p-4, 0x1.5312e25359440p-59},
    {0x1.d77b658000000p-1, 0x1.51b0722861841p-4, -0x1.70e36b7460d84p-65},
    {0x1.d0cb590000000p-1, 0x1.8c345d1319b21p-4, 0x1.165a151e21805p-63},
    {0x1.ca4b308000000p-1, 0x1.c5e5477dbc744p-4, 0x1.4fb0bef4db62fp-59},
    {0x1.c3f8f00000000p-1, 0x1.fec9141dbeabbp-4, 0x1.51728cfa743d2p-59},
    {0x1.bdd2b88000000p-1, 0x1.1b72adc6f67a0p-3, 0x1.765811ab86d64p-57},
    {0x1.b7d6c40000000p-1, 0x1.371fc161e8f75p-3, -0x1.80c9a4ff5c905p-57},
    {0x1.b203640000000p-1, 0x1.526e5e5a1b438p-3, -0x1.646ff8a44628fp-57},
    {0x1.ac57018000000p-1, 0x1.6d60ff459d21dp-3, 0x1.e723b34352a64p-58},
    {0x1.a6d01a8000000p-1, 0x1.87fa05f60c911p-3, -0x1.3b3fdbfdfec45p-57},
    {0x1.a16d3f8000000p-1, 0x1.a23bc2722b563p-3, 0x1.371c46c9dad0ep-57},
    {0x1.9c2d150000000p-1, 0x1.bc2866ead8cd6p-3, 0x1.20e73a20c1255p-57},
    {0x1.970e4f8000000p-1, 0x1.d5c216b8fbb91p-3, 0x1.6e843597e4e95p-57},
    {0x1.920fb48000000p-1, 0x1.ef0add51c5937p-3, -0x1.615c869ea6c9ep-57},
    {0x1.8d30190000000p-1, 0x1.040258d74d041p-2, 0x1.1009ef231643fp-56},
    {0x1.886e5f0000000p-1, 0x1.1058bfb6e4ad5p-2, 0x1.ebfa0ab694872p-58},
    {0x1.83c9778000000p-1, 0x1.1c898c88999fbp-2, 0x1.853a39f32543cp-56},
    {0x1.7f40600000000p-1, 0x1.2895a0bde86a4p-2, -0x1.0a5b682d74d38p-57},
    {0x1.7ad2208000000p-1, 0x1.347dd9cf87d55p-2, -0x1.e7298afcac144p-58},
    {0x1.767dce8000000p-1, 0x1.404307c26a7e5p-2, -0x1.aeafb6653d5c2p-56},
};

// exp: 2^(j/32) for j = 0..31 as hi + lo.
constexpr int expTableBits = 5;
struct ExpEntry {
    double hi;
    double lo;
};
constexpr ExpEntry expTable[1 << expTableBits] = {
    {0x1.0000000000000p+0, 0x0.0p+0},
    {0x1.059b0d3158574p+0, 0x1.d73e2a475b465p-55},
    {0x1.0b5586cf9890fp+0, 0x1.8a62e4adc610bp-54},
    {0x1.11301d0125b51p+0, -0x1.6c51039449b3ap-54},
    {0x1.172b83c7d517bp+0, -0x1.19041b9d78a76p-55},
    {0x1.1d4873168b9aap+0, 0x1.e016e00a2643cp-54},
    {0x1.2387a6e756238p+0, 0x1.9b07eb6c70573p-54},
    {0x1.29e9df51fdee1p+0, 0x1.612e8afad1255p-55},
    {0x1.306fe0a31b715p+0, 0x1.6f46ad23182e4p-55},
    {0x1.371a7373aa9cbp+0, -0x1.63aeabf42eae2p-54},
    {0x1.3dea64c123422p+0, 0x1.ada0911f09ebcp-55},
    {0x1.44e086061892dp+0, 0x1.89b7a04ef80d0p-59},
    {0x1.4bfdad5362a27p+0, 0x1.d4397afec42e2p-56},
    {0x1.5342b569d4f82p+0, -0x1.07abe1db13cadp-55},
    {0x1.5ab07dd485429p+0, 0x1.6324c054647adp-54},
    {0x1.6247eb03a5585p+0, -0x1.383c17e40b497p-54},
    {0x1.6a09e667f3bcdp+0, -0x1.bdd3413b26456p-54},
    {0x1.71f75e8ec5f74p+0, -0x1.16e4786887a99p-55},
    {0x1.7a11473eb0187p+0, -0x1.41577ee04992fp-55},
    {0x1.82589994cce13p+0, -0x1.d4c1dd41532d8p-54},
    {0x1.8ace5422aa0dbp+0, 0x1.6e9f156864b27p-54},
    {0x1.93737b0cdc5e5p+0, -0x1.75fc781b57ebcp-57},
    {0x1.9c49182a3f090p+0, 0x1.c7c46b071f2bep-56},
    {0x1.a5503b23e255dp+0, -0x1.d2f6edb8d41e1p-54},
    {0x1.ae89f995ad3adp+0, 0x1.7a1cd345dcc81p-54},
    {0x1.b7f76f2fb5e47p+0, -0x1.5584f7e54ac3bp-56},
    {0x1.c199bdd85529cp+0, 0x1.11065895048ddp-55},
    {0x1.cb720dcef9069p+0, 0x1.503cbd1e949dbp-56},
    {0x1.d5818dcfba487p+0, 0x1.2ed02d75b3707p-55},
    {0x1.dfc97337b9b5fp+0, -0x1.1a5cd4f184b5cp-54},
    {0x1.ea4afa2a490dap+0, -0x1.e9c23179c2893p-54},
    {0x1.f50765b6e4540p+0, 0x1.9d3e12dd8a18bp-54},
};

// ln 2 with a 32-bit head, so that k * ln2Hi is exact for every exponent k.
constexpr double ln2Hi = 0x1.62e42ff000000p-1;
constexpr double ln2Lo = -0x1.718432a1b0e26p-35;
// ln 2 / 32 split the same way, and its inverse.
constexpr double ln2By32Hi = 0x1.62e42ff000000p-6;
constexpr double ln2By32Lo = -0x1.718432a1b0e26p-40;
constexpr double inverseLn2By32 = 0x1.71547652b82fep+5;
constexpr double ln2 = 0x1.62e42fefa39efp-1;
constexpr double ln2By32 = 0x1.62e42fefa39efp-6;
// Adding and subtracting 1.5 * 2^52 rounds a double of magnitude below 2^51 to the nearest integer.
constexpr double roundingShift = 0x1.8p52;
// pi as hi + lo.
constexpr double piHi = 0x1.921fb54442d18p+1;
constexpr double piLo = 0x1.1a62633145c07p-53;

// ---------------------------------------------------------------- logarithm
// Splits a positive finite x into its table interval: x = 2^k * z.
struct LogReduction {
    int64_t k;
    double z;
    const LogEntry* entry;
};

inline LogReduction reduceForLog(double x) {
    uint64_t ix = bitsOf(x);
    int64_t extra = 0;
    if (ix < 0x0010000000000000) { // subnormal: scale it into the normal range first
        ix = bitsOf(x * 0x1p54);
        extra = -54;
    }
    const uint64_t tmp = ix - logOffset;
    const auto j = static_cast<int>((tmp >> (52 - logTableBits)) & ((1u << logTableBits) - 1));
    const int64_t k = static_cast<int64_t>(tmp) >> 52; // arithmetic shift: the exponent may be negative
    const double z = fromBits(ix - (tmp & (uint64_t{0xfff} << 52)));
    return {k + extra, z, &logTable[j]};
}

// log(1 + r) - r + r^2 / 2 = r^3 * logTail(r) for |r| < 2^-6 (near-minimax, relative error 1.3e-16).
inline double logTail(double r) {
    const double r2 = r * r;
    const double r4 = r2 * r2;
    return ((0x1.5555555555556p-2 + r * -0x1.ffffffffffcf2p-3) +
            r2 * (0x1.9999999964095p-3 + r * -0x1.555555803bc79p-3)) +
           r4 * ((0x1.249269f4efdf6p-3 + r * -0x1.fff62679918bcp-4) + r2 * 0x1.bbe790db50733p-4);
}

// Natural logarithm of a positive finite x as hi + lo, absolute error below 2^-66.
Wide logWide(double x) {
    const LogReduction red = reduceForLog(x);
    const LogEntry& e = *red.entry;
    // r = z * invc - 1 as hi + lo: with z split into 26 + 27 bits both partial products are exact (invc
    // has at most 26 bits), and the first one lies within 2^-6 of 1.
    double zh;
    double zl;
    split(red.z, zh, zl);
    const Wide r = twoSum(zh * e.invc - 1.0, zl * e.invc);
    // log(1 + r) = r - r^2 / 2 + r^3 * logTail(r); r^2 / 2 < 2^-13, so its rounding stays below 2^-66.
    const double r2 = r.hi * r.hi;
    const Wide a = twoSum(r.hi, -0.5 * r2);
    const double tail = r.hi * r2 * logTail(r.hi);
    const auto k = static_cast<double>(red.k);
    const Wide head = twoSum(k * ln2Hi, e.logcHi);
    const Wide sum = twoSum(head.hi, a.hi);
    const double lo = head.lo + sum.lo + a.lo + r.lo * (1.0 - r.hi) + tail + k * ln2Lo + e.logcLo;
    return twoSum(sum.hi, lo);
}

// log(1 + r) - r = r^2 * logTailShort(r) to about 2^-51 relative, enough for single-precision results.
inline double logTailShort(double r) {
    // Estrin's scheme: shorter dependency chains than Horner's, the same operations on every target.
    const double r2 = r * r;
    return (-0x1.fffffffff7ed9p-2 + r * 0x1.55555557f9c84p-2) +
           r2 * ((-0x1.00000d1786bbep-2 + r * 0x1.999a6187229b2p-3) + r2 * -0x1.4f97596dd6f0bp-3);
}

// Natural logarithm of a positive finite float widened to double (always normal), relative error ~2^-50.
inline double logShort(double x) {
    const uint64_t tmp = bitsOf(x) - logOffset;
    const LogEntry& e = logTable[(tmp >> (52 - logTableBits)) & ((1u << logTableBits) - 1)];
    const auto k = static_cast<double>(static_cast<int64_t>(tmp) >> 52);
    const double z = fromBits(bitsOf(x) - (tmp & (uint64_t{0xfff} << 52)));
    const double r = z * e.invc - 1.0; // exact: z has 24 significant bits, invc at most 26
    return (k * ln2 + e.logcHi) + (r + r * r * logTailShort(r));
}

// ---------------------------------------------------------------- exponential
// exp(x) = 2^n * 2^(j/32) * exp(r): splits x (hi + lo, |x| < 745) into n, j and r, |r| <= ln2 / 64.
struct ExpReduction {
    int64_t n;
    const ExpEntry* entry;
    Wide r;
};

inline ExpReduction reduceForExp(double hi, double lo) {
    const double kd = (hi * inverseLn2By32 + roundingShift) - roundingShift;
    const auto k = static_cast<int64_t>(kd);
    // hi - kd * ln2By32Hi is exact: kd * ln2By32Hi fits in 53 bits and lies within a factor 2 of hi.
    const double a = hi - kd * ln2By32Hi;
    const double b = lo - kd * ln2By32Lo;
    return {k >> expTableBits, &expTable[k & ((1 << expTableBits) - 1)], twoSum(a, b)};
}

// exp(r) - 1 - r - r^2 / 2 = r^3 * expTail(r) for |r| <= ln2 / 64 (Taylor, relative error ~2^-45).
inline double expTail(double r) {
    const double r2 = r * r;
    return (1.0 / 6.0 + r * (1.0 / 24.0)) + r2 * ((1.0 / 120.0 + r * (1.0 / 720.0)) + r2 * (1.0 / 5040.0));
}

// exp(hi + lo) / 2^n as hi + lo (the power of two returned apart), relative error below 2^-64.
Wide expWide(double hi, double lo, int64_t& n) {
    const ExpReduction red = reduceForExp(hi, lo);
    const Wide r = red.r;
    // u = exp(r) - 1 = r + r^2 / 2 + r^3 * expTail(r); r^2 / 2 < 2^-14, its rounding stays below 2^-67.
    const double r2 = r.hi * r.hi;
    const Wide u = twoSum(r.hi, 0.5 * r2);
    const double ulo = u.lo + r.lo + r.hi * r.lo + r.hi * r2 * expTail(r.hi);
    // 2^(j/32) * (1 + u)
    const ExpEntry& t = *red.entry;
    const Wide m = twoProduct(t.hi, u.hi);
    const Wide s = twoSum(t.hi, m.hi);
    n = red.n;
    return twoSum(s.hi, s.lo + m.lo + t.hi * ulo + t.lo + t.lo * u.hi);
}

// 2^n as a double for -1022 <= n <= 1023.
inline double powerOfTwo(int64_t n) {
    return fromBits(static_cast<uint64_t>(n + 1023) << 52);
}

// v * 2^n, rounded once where the result is normal.
double scaleByPowerOfTwo(double v, int64_t n) {
    if (n > 1023) {
        return v * 0x1p1023 * powerOfTwo(n - 1023);
    }
    if (n < -1022) {
        return v * 0x1p-1022 * powerOfTwo(n + 1022 < -1022 ? -1022 : n + 1022);
    }
    return v * powerOfTwo(n);
}

// exp of hi + lo in double, with overflow to infinity and underflow to 0.
double expOfWide(double hi, double lo) {
    if (hi > 709.79) {
        return std::numeric_limits<double>::infinity();
    }
    if (hi < -745.2) {
        return 0.0;
    }
    int64_t n = 0;
    const Wide e = expWide(hi, lo, n);
    // A subnormal result is rounded twice (to 53 bits, then at the scaling): still within 1 ulp.
    return scaleByPowerOfTwo(e.hi + e.lo, n);
}

// exp(z) for |z| < 110, relative error ~2^-48 (enough for single-precision results).
inline double expShort(double z) {
    const double kd = (z * inverseLn2By32 + roundingShift) - roundingShift;
    const auto k = static_cast<int64_t>(kd);
    const double r = z - kd * ln2By32;
    const double scale = fromBits(bitsOf(expTable[k & ((1 << expTableBits) - 1)].hi) +
                                  (static_cast<uint64_t>(k >> expTableBits) << 52));
    const double r2 = r * r;
    const double poly = (r + r2 * (0.5 + r * (1.0 / 6.0))) + r2 * r2 * (1.0 / 24.0 + r * (1.0 / 120.0));
    return scale + scale * poly;
}

// ---------------------------------------------------------------- pow's special cases
// 0 for a non-integer, 1 for an odd integer, 2 for an even integer.
int integerKind(double y) {
    if (!(y == y) || y - y != 0.0) {
        return 0; // NaN or infinite
    }
    if (y >= 0x1p53 || y <= -0x1p53) {
        return 2;
    }
    const auto i = static_cast<int64_t>(y);
    if (static_cast<double>(i) != y) {
        return 0;
    }
    return (i & 1) != 0 ? 1 : 2;
}

// Handles every case but a positive finite base with a finite exponent. Returns true with the result
// set when the case is special; otherwise sets `negate` when the result of pow(|x|, y) takes a minus.
bool powSpecialCase(double x, double y, double& result, bool& negate) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    negate = false;
    if (y == 0.0 || x == 1.0) {
        result = 1.0;
        return true;
    }
    if (x != x || y != y) {
        result = x + y;
        return true;
    }
    const bool yInfinite = y - y != 0.0;
    if (x < 0.0 || (x == 0.0 && std::bit_cast<int64_t>(x) < 0)) {
        const int kind = integerKind(y);
        if (x == -1.0 && yInfinite) {
            result = 1.0;
            return true;
        }
        if (kind == 0 && !yInfinite && x != 0.0 && x - x == 0.0) {
            result = std::numeric_limits<double>::quiet_NaN(); // negative base, fractional exponent
            return true;
        }
        negate = kind == 1;
        x = -x;
    }
    const double sign = negate ? -1.0 : 1.0;
    if (yInfinite) {
        result = (x < 1.0) == (y > 0.0) ? 0.0 : inf;
        return true;
    }
    if (x == 0.0) {
        result = sign * (y > 0.0 ? 0.0 : inf);
        return true;
    }
    if (x - x != 0.0) { // infinite base
        result = sign * (y > 0.0 ? inf : 0.0);
        return true;
    }
    return false;
}

// A positive finite base other than 1 with a finite non-zero exponent: the case the render needs.
inline bool isOrdinaryPow(double x, double y) {
    return x > 0.0 && x < std::numeric_limits<double>::infinity() && x != 1.0 && y != 0.0 && y - y == 0.0;
}

} // namespace

float pow(float x, float y) noexcept {
    // A positive finite base with a finite exponent (1 and 0 included: they come out exact) takes the
    // short path; everything else is settled by the special cases or computed with |x|.
    const double xd = x;
    const double yd = y;
    if (!(xd > 0.0 && xd < 0x1p128 && yd - yd == 0.0)) {
        double special = 0.0;
        bool negate = false;
        if (powSpecialCase(xd, yd, special, negate)) {
            return static_cast<float>(special);
        }
        const float v = pow(-x, y); // a negative base with an integral exponent
        return negate ? -v : v;
    }
    const double z = yd * logShort(xd);
    if (z > 100.0) {
        return std::numeric_limits<float>::infinity();
    }
    if (z < -110.0) {
        return 0.0f;
    }
    return static_cast<float>(expShort(z));
}

double pow(double x, double y) noexcept {
    bool negate = false;
    if (!isOrdinaryPow(x, y)) {
        double special = 0.0;
        if (powSpecialCase(x, y, special, negate)) {
            return special;
        }
    }
    const Wide l = logWide(x < 0.0 ? -x : x);
    Wide z = twoProduct(y, l.hi);
    z = twoSum(z.hi, z.lo + y * l.lo);
    const double v = expOfWide(z.hi, z.lo);
    return negate ? -v : v;
}

double exp(double x) noexcept {
    if (x != x) {
        return x + x;
    }
    return expOfWide(x, 0.0);
}

double tanh(double x) noexcept {
    if (x != x) {
        return x + x;
    }
    const double a = x < 0.0 ? -x : x;
    if (a < 0x1p-28) {
        return x; // tanh(x) = x - x^3 / 3 rounds to x
    }
    if (a >= 22.0) {
        return x < 0.0 ? -1.0 : 1.0; // 1 - tanh(22) is below 2^-62
    }
    // tanh(a) = E / (E + 2) with E = exp(2a) - 1, all as hi + lo.
    int64_t n = 0;
    const Wide e = expWide(2.0 * a, 0.0, n);
    const double scale = powerOfTwo(n);
    const Wide em1 = twoSum(e.hi * scale, -1.0);
    const Wide E = twoSum(em1.hi, em1.lo + e.lo * scale);
    const Wide D = twoSum(E.hi, 2.0);
    const double dlo = D.lo + E.lo;
    const double q = E.hi / D.hi;
    const Wide p = twoProduct(q, D.hi);
    const double rem = ((E.hi - p.hi) - p.lo) + E.lo - q * dlo;
    const double t = q + rem / D.hi;
    return x < 0.0 ? -t : t;
}

namespace {

// sin(t) - t = t^3 * sinTail(t^2) and cos(t) - 1 + t^2 / 2 = t^4 * cosTail(t^2) for |t| <= pi / 4 (Taylor).
inline double sinTail(double u) {
    return -1.0 / 6.0 +
           u * (1.0 / 120.0 +
                u * (-1.0 / 5040.0 + u * (1.0 / 362880.0 + u * (-1.0 / 39916800.0 +
                                                                u * (1.0 / 6227020800.0 +
                                                                     u * (-1.0 / 1307674368000.0 +
                                                                          u * (1.0 / 355687428096000.0)))))));
}

inline double cosTail(double u) {
    return 1.0 / 24.0 +
           u * (-1.0 / 720.0 +
                u * (1.0 / 40320.0 +
                     u * (-1.0 / 3628800.0 +
                          u * (1.0 / 479001600.0 +
                               u * (-1.0 / 87178291200.0 +
                                    u * (1.0 / 20922789888000.0 + u * (-1.0 / 6402373705728000.0)))))));
}

} // namespace

double sinPi(double x) noexcept {
    if (x - x != 0.0) {
        return std::numeric_limits<double>::quiet_NaN(); // NaN or infinite
    }
    // sin(pi x) has period 2 and is odd: reduce to b in [0, 1/2], every step exact.
    double b = x < 0.0 ? -x : x;
    bool negative = x < 0.0;
    if (b >= 0x1p53) {
        return 0.0; // every double this large is an even integer
    }
    b = b - 2.0 * static_cast<double>(static_cast<int64_t>(b * 0.5)); // b mod 2, exact
    if (b >= 1.0) {
        b -= 1.0;
        negative = !negative;
    }
    if (b > 0.5) {
        b = 1.0 - b;
    }
    if (b == 0.0) {
        return x == 0.0 ? x : 0.0;
    }
    const bool useCosine = b > 0.25;
    if (useCosine) {
        b = 0.5 - b;
    }
    // t = pi * b as hi + lo
    const Wide tp = twoProduct(piHi, b);
    const double th = tp.hi;
    const double tl = tp.lo + piLo * b;
    const double u = th * th;
    double v;
    if (!useCosine) {
        // sin(th + tl) = sin(th) + tl * cos(th)
        v = th + (th * u * sinTail(u) + tl * (1.0 - 0.5 * u));
    } else {
        // cos(th + tl) = cos(th) - tl * sin(th); t^2 / 2 as hi + lo
        const Wide t2 = twoProduct(th, th);
        const Wide c = twoSum(1.0, -0.5 * t2.hi);
        v = c.hi + (c.lo - 0.5 * t2.lo + u * u * cosTail(u) - tl * th * (1.0 - u * (1.0 / 6.0)));
    }
    return negative ? -v : v;
}

} // namespace solvantis::math
