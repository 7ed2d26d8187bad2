// The math functions the sound depends on: accuracy against extended-precision references over dense
// samples of the ranges the render uses, exact results for fixed points (the same bits on every target),
// and the special values.
#include "dsp/math_functions.h"
#include "math_path_switch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace {

namespace m = solvantis::math;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr long double pi = 3.141592653589793238462643383279502884L;

// Distance in units in the last place between a result and the reference rounded to the same type.
template <typename T> double ulps(T got, long double reference) {
    const T want = static_cast<T>(reference);
    if (got == want) {
        return 0.0;
    }
    const T step = std::nextafter(std::fabs(want), std::numeric_limits<T>::infinity()) - std::fabs(want);
    return static_cast<double>(std::fabs(static_cast<long double>(got) - want) / step);
}

// Runs f over `count` points, each within 1 ulp of the correctly rounded reference. Results that differ
// from the reference rounded to double at all must be rare: the reference itself is rounded twice (to
// 64 bits, then to 53) and so misses by 1 ulp near half-way points, about once in 2000; sinPi's cosine
// half carries up to 0.53 ulp and may differ about once in 100.
struct Sweep {
    std::string name;
    bool single; // compared in float ulps
    int count;
    std::function<double(int, long double&)> point; // result, and the reference through the argument
};

void runSweep(const Sweep& s) {
    int differing = 0;
    for (int i = 0; i < s.count; ++i) {
        long double reference = 0.0L;
        const double got = s.point(i, reference);
        const double d = s.single ? ulps(static_cast<float>(got), reference) : ulps(got, reference);
        ASSERT_LE(d, 1.0) << s.name << " point " << i << ": " << got << " against " << (double)reference;
        differing += d > 0.0;
    }
    EXPECT_LT(differing, s.count / (s.name == "sinPi" ? 50 : 200) + 1) << s.name;
}

TEST(MathFunctions, WithinOneUlpOverTheRangesTheRenderUses) {
    const Sweep sweeps[] = {
        // the envelope: bases in (0, 1], exponents 0.25 .. 4.03 (decay and release) and 0.5 .. 2 (attack)
        {"pow float", true, 400000,
         [](int i, long double& ref) {
             const float x = static_cast<float>(i + 1) / 400000.0f;
             const float y = 0.25f + static_cast<float>(i % 97) * 0.039f;
             ref = std::pow(static_cast<long double>(x), static_cast<long double>(y));
             return static_cast<double>(m::pow(x, y));
         }},
        // the block values: (1 - ADSRCurve)^1.5, ADSRCurve^2.3, 0.5^curveExponent, 0.001^(1 / (sr 0.075))
        // beyond the envelope: bases over 60 binades, exponents of either sign, results from 2^-149 up
        {"pow float, any base", true, 400000,
         [](int i, long double& ref) {
             const auto x = static_cast<float>(std::ldexp(1.0 + (i % 1013) / 1013.0, i / 6667 - 30));
             const float y = -4.0f + static_cast<float>(i % 211) * (8.0f / 210.0f);
             ref = std::pow(static_cast<long double>(x), static_cast<long double>(y));
             return static_cast<double>(m::pow(x, y));
         }},
        {"pow double", false, 300000,
         [](int i, long double& ref) {
             const double x = (i % 3 == 2) ? 0.5 : (i + 1) / 300000.0;
             const double y = i % 3 == 0   ? 1.5
                              : i % 3 == 1 ? static_cast<double>(2.3f)
                                           : 0.25 + (i % 1000) * 0.00378;
             ref = std::pow(static_cast<long double>(x), static_cast<long double>(y));
             return m::pow(x, y);
         }},
        {"pow of 0.001 by rate", false, 2000,
         [](int i, long double& ref) {
             const double y = 1.0 / ((1000.0 + i * 500.0) * 0.075);
             ref = std::pow(0.001L, static_cast<long double>(y));
             return m::pow(0.001, y);
         }},
        // the soft clippers' argument: 0 up to far into saturation, both signs
        {"tanh", false, 400000,
         [](int i, long double& ref) {
             const double x = (i % 2 ? -1.0 : 1.0) * (i / 2) * 1.25e-4;
             ref = std::tanh(static_cast<long double>(x));
             return m::tanh(x);
         }},
        {"exp", false, 300000,
         [](int i, long double& ref) {
             const double x = -700.0 + i * (1400.0 / 300000.0);
             ref = std::exp(static_cast<long double>(x));
             return m::exp(x);
         }},
        // within 3/4 of 0: near the other zeros the reference's own rounding of pi * x would dominate
        {"sinPi", false, 200000, [](int i, long double& ref) {
             const double x = -0.75 + (i + 0.5) * (1.5 / 200000.0);
             ref = std::sin(pi * static_cast<long double>(x));
             return m::sinPi(x);
         }}};
    for (const Sweep& s : sweeps) {
        runSweep(s);
    }
}

// Each function switches between a fast path and others (a polynomial and an exponential, a normal and a
// scaled result, a positive normal base and the rest): on both sides of every switch, and along the way
// to it, the results stay within 1 ulp.
TEST(MathFunctions, WithinOneUlpAcrossTheirInternalBoundaries) {
    const auto around = [](double edge, int i) { // 400 points on either side, a few ulps to 1e-6 apart
        const double step = i % 2 == 0 ? std::fabs(edge) * 1e-6 : std::fabs(edge) * 0x1p-50;
        return edge + (i / 2 - 100) * step;
    };
    const Sweep sweeps[] = {{"tanh at 1/8 and 19.1", false, 800,
                             [&](int i, long double& ref) {
                                 const double x = around(i < 400 ? 0.125 : 19.1, i % 400);
                                 ref = std::tanh(static_cast<long double>(x));
                                 return m::tanh(x);
                             }},
                            {"exp at +-620", false, 800,
                             [&](int i, long double& ref) {
                                 const double x = around(i < 400 ? 620.0 : -620.0, i % 400);
                                 ref = std::exp(static_cast<long double>(x));
                                 return m::exp(x);
                             }},
                            {"pow at 2^+-1021", false, 800,
                             [&](int i, long double& ref) {
                                 const double y = around(i < 400 ? 1021.5 : -1021.5, i % 400);
                                 ref = std::pow(2.0L, static_cast<long double>(y));
                                 return m::pow(2.0, y);
                             }},
                            // negative bases with integral exponents and subnormal bases take the rare path
                            {"pow float, rare bases", true, 2000, [](int i, long double& ref) {
                                 const float x =
                                     i % 2 == 0
                                         ? -(0.5f + static_cast<float>(i) / 400.0f)
                                         : std::ldexp(1.0f + static_cast<float>(i) / 2000.0f, -127 - i % 20);
                                 const float y = i % 2 == 0 ? static_cast<float>(i % 7 - 3)
                                                            : 0.25f + static_cast<float>(i % 5) * 0.5f;
                                 ref = std::pow(static_cast<long double>(x), static_cast<long double>(y));
                                 return static_cast<double>(m::pow(x, y));
                             }}};
    for (const Sweep& s : sweeps) {
        runSweep(s);
    }
}

// Correctly rounded values computed with a 300-bit reference: every target must give these bits.
TEST(MathFunctions, FixedPointsGiveTheSameBitsEverywhere) {
    struct Case {
        const char* what;
        double got;
        double want;
    };
    const Case cases[] = {
        {"powf 0.75^2", m::pow(0.75f, 2.0f), 0x1.2p-1},
        {"powf", m::pow(0x1.f9adp-4f, 0x1.333334p-2f), 0x1.115a54p-1},
        {"powf", m::pow(0x1.ff7ceep-1f, 0x1.01eb86p+2f), 0x1.fdf096p-1},
        {"powf 0.5^0.25", m::pow(0.5f, 0.25f), 0x1.ae89fap-1},
        {"powf to a subnormal", m::pow(0x1.4484cp-100f, 1.5f), 0x1p-149},
        {"pow 0.7^1.5", m::pow(0x1.6666666666666p-1, 1.5), 0x1.2bdbe460916e0p-1},
        {"pow 0.3^2.3f", m::pow(0x1.3333333333333p-2, static_cast<double>(2.3f)), 0x1.00e293bdc62ecp-4},
        {"pow 0.5^4.03", m::pow(0.5, 4.03), 0x1.f57693c6594ffp-5},
        {"pow 0.001^(1/3307.5)", m::pow(0.001, 1.0 / (44100.0 * 0.075)), 0x1.feee8a46ddb9bp-1},
        {"pow 1e-300^0.5", m::pow(0x1.56e1fc2f8f359p-997, 0.5), 0x1.a2fe76a3f9475p-499},
        {"tanh 0.125", m::tanh(0.125), 0x1.fd5992bc4b835p-4},
        {"tanh 1", m::tanh(1.0), 0x1.85efab514f394p-1},
        {"tanh 3.7", m::tanh(3.7), 0x1.ff5fdc948488cp-1},
        {"tanh 0.0004", m::tanh(0x1.a36e2eb1c432dp-12), 0x1.a36e2d3a7769ap-12},
        {"tanh 18", m::tanh(18.0), 0x1.ffffffffffffcp-1},
        {"exp 1", m::exp(1.0), 0x1.5bf0a8b145769p+1},
        {"exp -0.5", m::exp(-0.5), 0x1.368b2fc6f960ap-1},
        {"exp 10", m::exp(10.0), 0x1.5829dcf950560p+14},
        {"exp 700", m::exp(700.0), 0x1.d945df4f8ec8ep+1009},
        {"exp -740", m::exp(-740.0), 0x0.0000000000055p-1022},
        {"sinPi 1/128", m::sinPi(1.0 / 128.0), 0x1.92155f7a3667ep-6},
        {"sinPi 0.3", m::sinPi(0.3), 0x1.9e3779b97f4a8p-1},
        {"sinPi 37/128", m::sinPi(37.0 / 128.0), 0x1.93a22499263fbp-1},
        {"sinPi 1.75", m::sinPi(1.75), -0x1.6a09e667f3bcdp-1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.got, c.want) << c.what;
    }
}

TEST(MathFunctions, SpecialValues) {
    const float fnan = std::numeric_limits<float>::quiet_NaN();
    const float finf = std::numeric_limits<float>::infinity();
    const float fsub = std::numeric_limits<float>::denorm_min();
    struct Case {
        const char* what;
        double got;
        double want; // NaN: any NaN
    };
    const Case cases[] = {
        {"x^0 of NaN", m::pow(fnan, 0.0f), 1.0},
        {"1^NaN", m::pow(1.0f, fnan), 1.0},
        {"NaN^1", m::pow(fnan, 1.0f), nan},
        {"2^NaN", m::pow(2.0, nan), nan},
        {"1^y", m::pow(1.0f, 3.7f), 1.0},
        {"0^2.3", m::pow(0.0f, 2.3f), 0.0},
        {"0^-1", m::pow(0.0f, -1.0f), inf},
        {"-0^-3", m::pow(-0.0, -3.0), -inf},
        {"-0^3", m::pow(-0.0f, 3.0f), -0.0},
        {"-2^3", m::pow(-2.0f, 3.0f), -8.0},
        {"-0.5^2", m::pow(-0.5f, 2.0f), 0.25},
        {"-0.5^0.25", m::pow(-0.5f, 0.25f), nan},
        {"-3^0.5", m::pow(-3.0, 0.5), nan},
        {"-1^inf", m::pow(-1.0, inf), 1.0},
        {"0.5^inf", m::pow(0.5f, finf), 0.0},
        {"0.5^-inf", m::pow(0.5, -inf), inf},
        {"inf^-1", m::pow(finf, -1.0f), 0.0},
        {"-inf^3", m::pow(-inf, 3.0), -inf},
        {"overflow", m::pow(10.0f, 50.0f), inf},
        {"underflow", m::pow(0.5f, 200.0f), 0.0},
        {"subnormal base", m::pow(fsub, 0.5f), static_cast<float>(std::sqrt(static_cast<double>(fsub)))},
        {"subnormal base, double", m::pow(0x1p-1070, 0.5), 0x1p-535},
        {"huge exponent", m::pow(1.0000001, 0x1p64), inf},
        {"huge exponent, base below 1", m::pow(0.9999999, 0x1p64), 0.0},
        {"huge negative exponent", m::pow(3.0, -0x1p70), 0.0},
        {"tiny exponent", m::pow(1e300, 0x1p-65), 1.0},
        {"-2^(2^64)", m::pow(-2.0, 0x1p64), inf},
        {"tanh NaN", m::tanh(nan), nan},
        {"tanh inf", m::tanh(-inf), -1.0},
        {"tanh subnormal", m::tanh(0x1p-1070), 0x1p-1070},
        {"exp NaN", m::exp(nan), nan},
        {"exp -inf", m::exp(-inf), 0.0},
        {"exp 0", m::exp(0.0), 1.0},
        {"exp 710", m::exp(710.0), inf},
        {"exp -746", m::exp(-746.0), 0.0},
        {"sinPi 1", m::sinPi(1.0), 0.0},
        {"sinPi -7", m::sinPi(-7.0), 0.0},
        {"sinPi 0.5", m::sinPi(0.5), 1.0},
        {"sinPi -1.5", m::sinPi(-1.5), 1.0},
        {"sinPi 2^60+0.5", m::sinPi(0x1p60), 0.0},
        {"sinPi inf", m::sinPi(inf), nan},
    };
    for (const Case& c : cases) {
        if (std::isnan(c.want)) {
            EXPECT_TRUE(std::isnan(c.got)) << c.what;
        } else {
            EXPECT_EQ(c.got, c.want) << c.what;
            EXPECT_EQ(std::signbit(c.got), std::signbit(c.want)) << c.what;
        }
    }
    EXPECT_TRUE(std::signbit(m::tanh(-0.0)));
}

// The batch tanh must give the scalar tanh's bits for every element: across both formulas and their
// borders, the saturated range, the special values (a NaN takes its group to the scalar function), in
// place or not, at any length.
TEST(MathFunctions, BatchTanhGivesTheScalarBits) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> x;
    for (int i = 0; i < 60000; ++i) {
        x.push_back(-25.0 + 50.0 * i / 60000.0);
        x.push_back(std::ldexp(1.0 + (i % 997) / 997.0, i % 80 - 60) * (i % 3 == 0 ? -1.0 : 1.0));
    }
    for (const double b :
         {0.125, 19.1, 0x1p-27}) { // the borders between the formulas, and an ulp either side
        for (const double v : {b, std::nextafter(b, 0.0), std::nextafter(b, 1e9)}) {
            x.push_back(v);
            x.push_back(-v);
        }
    }
    for (const double v : {0.0, -0.0, 4.9e-324, -1e-310, inf, -inf, 1e308, nan, -nan}) {
        x.insert(x.begin() + static_cast<std::ptrdiff_t>(x.size() / 3), v); // at odd positions too
        x.push_back(v);
    }
    const int n = static_cast<int>(x.size());
    std::vector<double> out(x.size() + 1, 7.0); // the last one must stay untouched
    m::tanh(x.data(), out.data(), n);
    std::vector<double> inPlace = x;
    m::tanh(inPlace.data(), inPlace.data(), n - 1); // odd length: the last ones take the scalar tail
    for (int i = 0; i < n; ++i) {
        const uint64_t want = std::bit_cast<uint64_t>(m::tanh(x[static_cast<std::size_t>(i)]));
        ASSERT_EQ(std::bit_cast<uint64_t>(out[static_cast<std::size_t>(i)]), want)
            << x[static_cast<std::size_t>(i)];
        if (i < n - 1) {
            ASSERT_EQ(std::bit_cast<uint64_t>(inPlace[static_cast<std::size_t>(i)]), want)
                << "in place: " << x[static_cast<std::size_t>(i)];
        }
    }
    EXPECT_EQ(out.back(), 7.0);
}

// The batch power must give the scalar power's bits for every element, whatever the base (the pairs with
// a special base take another path) and whatever the exponent, in place or not, at any length.
TEST(MathFunctions, BatchPowGivesTheScalarBits) {
    const float fnan = std::numeric_limits<float>::quiet_NaN();
    const float finf = std::numeric_limits<float>::infinity();
    std::vector<float> bases;
    for (int i = 0; i < 20000; ++i) {
        bases.push_back(static_cast<float>(i) / 20000.0f); // the envelope's bases, 0 included
        bases.push_back(std::ldexp(1.0f + static_cast<float>(i % 997) / 997.0f, i % 300 - 150));
    }
    for (const float b : {1.0f, -1.0f, -0.0f, -0.5f, -3.0f, 1e-45f, -1e-45f, 1.1754942e-38f, 1.1754944e-38f,
                          3.4028235e38f, finf, -finf, fnan, 0.99999994f, 1.0000001f}) {
        bases.insert(bases.begin() + static_cast<std::ptrdiff_t>(bases.size() / 3), b); // odd positions too
        bases.push_back(b);
    }
    std::vector<float> out(bases.size() + 1);
    for (const float y : {0.25f, 4.03f, 2.0f, 0.5f, 1.0f, 3.0f, -1.0f, -2.5f, 0.0f, -0.0f, 150.0f, -150.0f,
                          1e30f, 0x1p-30f, fnan, finf, -finf}) {
        const int n = static_cast<int>(bases.size());
        out[static_cast<std::size_t>(n)] = 7.0f; // must stay untouched
        m::pow(bases.data(), y, out.data(), n);
        std::vector<float> inPlace = bases;
        m::pow(inPlace.data(), y, inPlace.data(), n - 1); // odd length: the last one takes the scalar tail
        for (int i = 0; i < n; ++i) {
            const float want = m::pow(bases[static_cast<std::size_t>(i)], y);
            ASSERT_EQ(std::bit_cast<uint32_t>(out[static_cast<std::size_t>(i)]),
                      std::bit_cast<uint32_t>(want))
                << bases[static_cast<std::size_t>(i)] << " ^ " << y;
            if (i < n - 1) {
                ASSERT_EQ(std::bit_cast<uint32_t>(inPlace[static_cast<std::size_t>(i)]),
                          std::bit_cast<uint32_t>(want))
                    << "in place: " << bases[static_cast<std::size_t>(i)] << " ^ " << y;
            }
        }
        EXPECT_EQ(inPlace.back(), bases.back());
        EXPECT_EQ(out.back(), 7.0f);
    }
}

// ---------------------------------------------------------------- the software fma and the two paths

// Bits of a double with the given sign, biased exponent and significand.
double make(bool negative, int biasedExponent, uint64_t significand) {
    return std::bit_cast<double>((uint64_t{negative} << 63) | (static_cast<uint64_t>(biasedExponent) << 52) |
                                 (significand & ((uint64_t{1} << 52) - 1)));
}

// A small deterministic generator (the same cases on every run and target).
struct Random {
    uint64_t state;
    uint64_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
};

::testing::AssertionResult sameFma(double a, double b, double c) {
    const double got = m::detail::fmaSoft(a, b, c);
    const double want = std::fma(a, b, c);
    if (std::bit_cast<uint64_t>(got) == std::bit_cast<uint64_t>(want)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << std::hexfloat << "fma(" << a << ", " << b << ", " << c
                                         << ") gave " << got << ", correctly rounded " << want;
}

// The C library's fma is correctly rounded (in hardware or software): the software fma must give its
// bits over the range it promises, above all where a product's low half decides the rounding.
TEST(MathFunctions, SoftwareFmaIsCorrectlyRounded) {
    Random rng{0x9e3779b97f4a7c15u};
    for (int i = 0; i < 3000000; ++i) {
        const uint64_t u = rng.next();
        const int ea = 1023 + static_cast<int>(u % 601) - 300;
        const int eb = 1023 + static_cast<int>((u >> 10) % 601) - 300;
        const double a = make((u >> 20 & 1) != 0, ea, rng.next());
        const double b = make((u >> 21 & 1) != 0, eb, rng.next());
        // the addend near the product's magnitude (cancellation, half-way cases) or far from it
        const int shift = static_cast<int>((u >> 22) % 8) == 0 ? static_cast<int>((u >> 25) % 241) - 120
                                                               : static_cast<int>((u >> 25) % 111) - 55;
        const int ec = std::clamp(ea + eb - 1023 + shift, 1, 2046);
        double c = make((u >> 40 & 1) != 0, ec, rng.next());
        double b2 = b;
        switch ((u >> 41) % 8) {
        case 0: // cancellation down to the product's rounding error
            c = -(a * b);
            break;
        case 1: // nearly so
            c = -(a * b) * (1.0 + 0x1p-52);
            break;
        case 2: // a short addend: the exact sum's last bits come from the product's low half
            c = std::bit_cast<double>(std::bit_cast<uint64_t>(c) & ~((uint64_t{1} << 40) - 1));
            break;
        case 3: // a product within an ulp of half an ulp of c: where rounding twice would go wrong
            b2 = std::ldexp(1.0, std::ilogb(c) - 53) / a;
            break;
        default:
            break;
        }
        ASSERT_TRUE(sameFma(a, b2, c));
    }
    // Half-way cases built on purpose: (1 + 2^-k)(1 + 2^-j) + c lands exactly half-way between two
    // doubles, or one bit of the low half past it, either side, in both binades around 1; and
    // 1 + (1 + 2^-k) 2^-53 (1 - 2^-k + 2^-53), a hair above half-way.
    for (int k = 1; k <= 52; ++k) {
        for (int j = 1; j <= 52; ++j) {
            const double a = 1.0 + std::ldexp(1.0, -k);
            const double b = 1.0 + std::ldexp(1.0, -j);
            for (const double c :
                 {0.0, -1.0, -2.0, 1.0, std::ldexp(1.0, -53), -std::ldexp(1.0, -53), std::ldexp(3.0, -54),
                  -std::ldexp(1.0, -k - j), std::ldexp(1.0, -k - j - 1), -a, -b, -0.5}) {
                ASSERT_TRUE(sameFma(a, b, c));
                ASSERT_TRUE(sameFma(-a, b, -c));
                ASSERT_TRUE(sameFma(a, b - std::ldexp(1.0, -52), c));
            }
            const double hair = std::ldexp(1.0 - std::ldexp(1.0, -k) + std::ldexp(1.0, -53), -53);
            ASSERT_TRUE(sameFma(a, hair, 1.0));
            ASSERT_TRUE(sameFma(a, -hair, -std::ldexp(1.0, j)));
        }
    }
    // exact results, zeros and their signs, and tiny products beside a larger addend
    const double cases[][3] = {{3.0, 5.0, -15.0},
                               {0.0, 5.0, -0.0},
                               {-0.0, 5.0, -0.0},
                               {-0.0, 5.0, 0.0},
                               {0.0, -1.0, 0.0},
                               {0x1p-600, 0x1p-500, 1.0},
                               {0x1p-600, 0x1p-500, -0x1p-900},
                               {0x1p-484, 0x1p-484, 0x1p-960},
                               {1e300, 1e-300, -1.0},
                               {0x1.fffffffffffffp-1, 0x1.fffffffffffffp-1, -1.0},
                               {0x1p994, 0x1p25, -0x1p1019}};
    for (const auto& c : cases) {
        EXPECT_TRUE(sameFma(c[0], c[1], c[2]));
    }
}

// Takes the software path for as long as it lives.
struct SoftwarePath {
    SoftwarePath() { m::testing::forceSoftwareFma(true); }
    ~SoftwarePath() { m::testing::forceSoftwareFma(false); }
    SoftwarePath(const SoftwarePath&) = delete;
    SoftwarePath& operator=(const SoftwarePath&) = delete;
};

// Every function gives the same bits on the FMA path as on the software one, over dense arguments that
// reach every branch: the sound must not depend on the processor.
TEST(MathFunctions, TheFmaPathAndTheSoftwarePathGiveTheSameBits) {
    std::printf("math functions' path on this processor: %s\n",
                m::detail::usesHardwareFma() ? "FMA" : "software fma");
    if (!m::detail::usesHardwareFma()) {
        GTEST_SKIP() << "this processor lacks FMA or AVX2: only the software path can run here (the other "
                        "tests check it)";
    }
    constexpr int count = 200000;
    const float fnan = std::numeric_limits<float>::quiet_NaN();
    struct Function {
        const char* name;
        std::function<uint64_t(int)> bits; // the result at point i
    };
    const auto wide = [](int i, double from, double to) { return from + (to - from) * i / count; };
    const Function functions[] = {
        {"pow float",
         [](int i) {
             const float x = std::ldexp(1.0f + static_cast<float>(i % 4099) / 4099.0f, i % 300 - 160);
             const float y =
                 i % 13 == 0 ? static_cast<float>(i % 7 - 3) : -40.0f + static_cast<float>(i % 811) * 0.1f;
             return uint64_t{std::bit_cast<uint32_t>(m::pow(i % 17 == 0 ? -x : x, y))};
         }},
        {"pow double",
         [&](int i) {
             const double x = std::ldexp(1.0 + (i % 8191) / 8191.0, i % 2200 - 1100);
             const double y = i % 11 == 0 ? std::ldexp(1.0, i % 160 - 80) : wide(i, -3.0, 3.0) * (1 + i % 5);
             return std::bit_cast<uint64_t>(m::pow(i % 19 == 0 ? -x : x, i % 23 == 0 ? std::round(y) : y));
         }},
        {"exp",
         [&](int i) {
             return std::bit_cast<uint64_t>(
                 m::exp(i % 7 == 0 ? std::ldexp(wide(i, -1, 1), -(i % 80)) : wide(i, -750, 715)));
         }},
        {"tanh",
         [&](int i) {
             return std::bit_cast<uint64_t>(
                 m::tanh(i % 7 == 0 ? std::ldexp(wide(i, -1, 1), -(i % 40)) : wide(i, -20, 20)));
         }},
        {"sinPi",
         [&](int i) {
             return std::bit_cast<uint64_t>(
                 m::sinPi(i % 7 == 0 ? std::ldexp(wide(i, -1, 1), -(i % 1000)) : wide(i, -3, 3)));
         }},
        {"batch pow",
         [fnan](int i) {
             float in[7];
             float out[7];
             for (int j = 0; j < 7; ++j) {
                 in[j] =
                     std::ldexp(1.0f + static_cast<float>((i * 7 + j) % 997) / 997.0f, (i + j) % 200 - 150);
             }
             in[i % 7] = i % 3 == 0 ? -in[i % 7] : i % 3 == 1 ? 0.0f : in[i % 7];
             m::pow(in, i % 1000 == 0 ? fnan : 0.25f + static_cast<float>(i % 97) * 0.05f, out, 7);
             uint64_t h = 0;
             for (const float o : out) {
                 h = h * 0x100000001b3u ^ std::bit_cast<uint32_t>(o);
             }
             return h;
         }},
    };
    for (const Function& f : functions) {
        std::vector<uint64_t> hardware(count);
        for (int i = 0; i < count; ++i) {
            hardware[static_cast<std::size_t>(i)] = f.bits(i);
        }
        const SoftwarePath software;
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(f.bits(i), hardware[static_cast<std::size_t>(i)]) << f.name << " point " << i;
        }
    }
}

} // namespace
