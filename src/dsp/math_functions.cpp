// The math functions whose results reach the audio: pow, exp, tanh, sinPi and atan, the same bits on every
// target, each with a software path and an FMA path chosen once for the processor.
#include "dsp/math_functions.h"

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#if !defined(__i386__) && !defined(__x86_64__)
#error "the math functions choose between x86 FMA and software paths: port the detection to this target"
#endif
#include <cpuid.h>
#include <immintrin.h>

// Every operation below must round exactly once, in double precision: a target that evaluates in the x87
// unit's extended precision, or a compiler that fuses a multiply and an add on its own, would give other
// bits. (The fused multiply-adds written out explicitly are another matter: they round once, correctly,
// in hardware or in software, and give the same bits everywhere.)
#if defined(__i386__) && (!defined(__SSE2_MATH__) || __FLT_EVAL_METHOD__ != 0)
#error "32-bit x86 builds need SSE2 math: compile with -msse2 -mfpmath=sse (the toolchain files set both)"
#endif
#if defined(__FAST_MATH__)
#error "the math functions must not be built with -ffast-math"
#endif
#if defined(__FMA__)
#error                                                                                                       \
    "the math functions must be built without -mfma (or -march with FMA): they choose their FMA path at run time"
#endif

namespace solvantis::math {

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

inline uint64_t bitsOf(double x) {
    return std::bit_cast<uint64_t>(x);
}
inline double fromBits(uint64_t b) {
    return std::bit_cast<double>(b);
}
inline uint32_t bitsOf(float x) {
    return std::bit_cast<uint32_t>(x);
}

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

// exp and 2^x: 2^(j/128) for j = 0..127. bits is the bit pattern of the double nearest to it less
// j << 45, so that adding k << 45 for k = 128 e + j (modulo 2^64) gives that double times 2^e; tail is
// (2^(j/128) - that double) / that double. Generated by tools/math_tables.py.
constexpr int expTableBits = 7;
constexpr uint64_t expTableMask = (1u << expTableBits) - 1;
struct ExpEntry {
    uint64_t bits;
    double tail;
};
constexpr ExpEntry expTable[1 << expTableBits] = {
    {0x3ff0000000000000u, 0x0.0p+0},
    {0x3feff63da9fb3335u, 0x1.b3b4f1a88bf6ep-54},
    {0x3fefec9a3e778061u, -0x1.160139cd8dc5dp-56},
    {0x3fefe315e86e7f85u, -0x1.05e7a108766d1p-54},
    {0x3fefd9b0d3158574u, 0x1.cd2523567f613p-55},
    {0x3fefd06b29ddf6deu, -0x1.bce8023f98efap-55},
    {0x3fefc74518759bc8u, 0x1.0f74e61e6c861p-57},
    {0x3fefbe3ecac6f383u, 0x1.0a3e45b33d399p-54},
    {0x3fefb5586cf9890fu, 0x1.79aa65d837b6dp-54},
    {0x3fefac922b7247f7u, 0x1.eb51a92fdeffcp-55},
    {0x3fefa3ec32d3d1a2u, 0x1.ebe3d702f9cd1p-60},
    {0x3fef9b66affed31bu, -0x1.a033489906e0bp-57},
    {0x3fef9301d0125b51u, -0x1.556522a2fbd0ep-54},
    {0x3fef8abdc06c31ccu, -0x1.080ef8c4eea55p-58},
    {0x3fef829aaea92de0u, -0x1.1c923b9d5f416p-54},
    {0x3fef7a98c8a58e51u, 0x1.0d3e3e95c55afp-55},
    {0x3fef72b83c7d517bu, -0x1.01b15eaa59348p-55},
    {0x3fef6af9388c8deau, -0x1.f1ff055de323dp-55},
    {0x3fef635beb6fcb75u, 0x1.b898c3f1353bfp-55},
    {0x3fef5be084045cd4u, -0x1.6d99c7611eb26p-54},
    {0x3fef54873168b9aau, 0x1.aecf73e3a2f60p-54},
    {0x3fef4d5022fcd91du, -0x1.fe782cb86389dp-55},
    {0x3fef463b88628cd6u, 0x1.a6f4144a6c38dp-55},
    {0x3fef3f49917ddc96u, 0x1.07a05b0e4047dp-55},
    {0x3fef387a6e756238u, 0x1.68efde3a8a894p-54},
    {0x3fef31ce4fb2a63fu, 0x1.75e18f274487dp-55},
    {0x3fef2b4565e27cddu, 0x1.0472b981fe7f2p-55},
    {0x3fef24dfe1f56381u, -0x1.6b87b3f71085ep-54},
    {0x3fef1e9df51fdee1u, 0x1.2f7e16d09ab31p-55},
    {0x3fef187fd0dad990u, -0x1.d219b1a6fbffap-60},
    {0x3fef1285a6e4030bu, 0x1.b3782720c0ab4p-55},
    {0x3fef0cafa93e2f56u, 0x1.e149289cecb8fp-57},
    {0x3fef06fe0a31b715u, 0x1.34d754db0abb6p-55},
    {0x3fef0170fc4cd831u, 0x1.64201e2ac744cp-55},
    {0x3feefc08b26416ffu, 0x1.fdd395dd3f84ap-55},
    {0x3feef6c55f929ff1u, -0x1.6a3803b8e5b04p-55},
    {0x3feef1a7373aa9cbu, -0x1.24aedcc4b5068p-54},
    {0x3feeecae6d05d866u, -0x1.907f81b512d8ep-54},
    {0x3feee7db34e59ff7u, -0x1.1d1e83e9436d2p-56},
    {0x3feee32dc313a8e5u, -0x1.91919b3ce1b15p-54},
    {0x3feedea64c123422u, 0x1.59f48a72a4c6dp-55},
    {0x3feeda4504ac801cu, -0x1.312607a28698ap-54},
    {0x3feed60a21f72e2au, -0x1.8a78f4817895bp-58},
    {0x3feed1f5d950a897u, -0x1.c2c9b67499a1bp-56},
    {0x3feece086061892du, 0x1.363ed60c2ac11p-59},
    {0x3feeca41ed1d0057u, 0x1.666093b0664efp-54},
    {0x3feec6a2b5c13cd0u, 0x1.ecce1daa10379p-57},
    {0x3feec32af0d7d3deu, 0x1.3ff8e3f0f1230p-54},
    {0x3feebfdad5362a27u, 0x1.690cebb7aafb0p-56},
    {0x3feebcb299fddd0du, 0x1.31dbdeb54e077p-54},
    {0x3feeb9b2769d2ca7u, -0x1.f94340071a38ep-55},
    {0x3feeb6daa2cf6642u, -0x1.7deccdc93a349p-55},
    {0x3feeb42b569d4f82u, -0x1.8dec6bd0f385fp-56},
    {0x3feeb1a4ca5d920fu, -0x1.61246ec7b5cf6p-55},
    {0x3feeaf4736b527dau, 0x1.3350518fdd78ep-54},
    {0x3feead12d497c7fdu, 0x1.b98b72f8a9b05p-56},
    {0x3feeab07dd485429u, 0x1.063e1e21c5409p-54},
    {0x3feea9268a5946b7u, 0x1.4c7855019c6eap-60},
    {0x3feea76f15ad2148u, 0x1.432e62b64c035p-54},
    {0x3feea5e1b976dc09u, -0x1.ce44a6199769fp-55},
    {0x3feea47eb03a5585u, -0x1.c33c53bef4da8p-55},
    {0x3feea34634ccc320u, -0x1.45378892be9aep-55},
    {0x3feea23882552225u, -0x1.3cedd78565858p-54},
    {0x3feea155d44ca973u, 0x1.710aa807e1964p-58},
    {0x3feea09e667f3bcdu, -0x1.3b3efbf5e2228p-54},
    {0x3feea012750bdabfu, -0x1.a12ad8734b982p-57},
    {0x3fee9fb23c651a2fu, -0x1.367efb86da9eep-57},
    {0x3fee9f7df9519484u, -0x1.0dc3d54e08851p-55},
    {0x3fee9f75e8ec5f74u, -0x1.81f647e5a3ecfp-56},
    {0x3fee9f9a48a58174u, -0x1.6ee4ac08b7db0p-55},
    {0x3fee9feb564267c9u, -0x1.619321e55e68ap-55},
    {0x3feea0694fde5d3fu, 0x1.09ccb5e09d4d3p-54},
    {0x3feea11473eb0187u, -0x1.b32dcb94da51dp-56},
    {0x3feea1ed0130c132u, 0x1.4ecfd5467c06bp-54},
    {0x3feea2f336cf4e62u, 0x1.5ebe1abd66c55p-57},
    {0x3feea427543e1a12u, -0x1.8a1c52fb3cf42p-55},
    {0x3feea589994cce13u, -0x1.369b6f13b3734p-54},
    {0x3feea71a4623c7adu, -0x1.05e843a19ff1ep-55},
    {0x3feea8d99b4492edu, -0x1.4d450d872576ep-54},
    {0x3feeaac7d98a6699u, 0x1.0ad675b0e8a00p-54},
    {0x3feeace5422aa0dbu, 0x1.db72fc1f0eab4p-55},
    {0x3feeaf3216b5448cu, -0x1.5b6609cc5e7ffp-57},
    {0x3feeb1ae99157736u, 0x1.bf68359f35f44p-56},
    {0x3feeb45b0b91ffc6u, -0x1.3091fa71e3d83p-54},
    {0x3feeb737b0cdc5e5u, -0x1.da9b88b6c1e29p-58},
    {0x3feeba44cbc8520fu, -0x1.c23f97c90b959p-57},
    {0x3feebd829fde4e50u, -0x1.2434322f4f9aap-54},
    {0x3feec0f170ca07bau, -0x1.5ca6cd7668e4bp-55},
    {0x3feec49182a3f090u, 0x1.1affc2b91ce27p-56},
    {0x3feec86319e32323u, 0x1.dd235e10a73bbp-57},
    {0x3feecc667b5de565u, -0x1.7c50422622263p-55},
    {0x3feed09bec4a2d33u, 0x1.b1c86e3e231d5p-55},
    {0x3feed503b23e255du, -0x1.1bbd1d3bcbb15p-54},
    {0x3feed99e1330b358u, 0x1.0cc319cee31d2p-54},
    {0x3feede6b5579fdbfu, 0x1.469846e735ab3p-55},
    {0x3feee36bbfd3f37au, -0x1.2dfcd978e9db4p-55},
    {0x3feee89f995ad3adu, 0x1.c1a7792cb3387p-55},
    {0x3feeee07298db666u, -0x1.07b8f4ad1d9fap-54},
    {0x3feef3a2b84f15fbu, -0x1.5c3d956dcaebap-58},
    {0x3feef9728de5593au, -0x1.0a40e3da6f640p-54},
    {0x3feeff76f2fb5e47u, -0x1.8d6f438ad9334p-57},
    {0x3fef05b030a1064au, -0x1.1eee26b588a35p-54},
    {0x3fef0c1e904bc1d2u, 0x1.4ffd70a5fddcdp-56},
    {0x3fef12c25bd71e09u, -0x1.1bdfbfa9298acp-54},
    {0x3fef199bdd85529cu, 0x1.36eae30af0cb3p-56},
    {0x3fef20ab5fffd07au, 0x1.ee3325c9ffd94p-55},
    {0x3fef27f12e57d14bu, 0x1.4e08fd10959acp-55},
    {0x3fef2f6d9406e7b5u, 0x1.3cdaf384e1a67p-57},
    {0x3fef3720dcef9069u, 0x1.76b2c6c921968p-57},
    {0x3fef3f0b555dc3fau, -0x1.08a1883ccb5d2p-55},
    {0x3fef472d4a07897cu, -0x1.fad5d3ffffa6fp-55},
    {0x3fef4f87080d89f2u, -0x1.00dae3875a949p-54},
    {0x3fef5818dcfba487u, 0x1.4a385a63d07a7p-56},
    {0x3fef60e316c98398u, -0x1.2919e2040220fp-55},
    {0x3fef69e603db3285u, 0x1.e5a50d5c192acp-55},
    {0x3fef7321f301b460u, 0x1.43a59ac016b4bp-55},
    {0x3fef7c97337b9b5fu, -0x1.2d52107b43e1fp-55},
    {0x3fef864614f5a129u, -0x1.92ab93b470dc9p-55},
    {0x3fef902ee78b3ff6u, 0x1.4b604603a88d3p-56},
    {0x3fef9a51fbc74c83u, 0x1.3c5ec519d7271p-55},
    {0x3fefa4afa2a490dau, -0x1.ff7128fd391f0p-55},
    {0x3fefaf482d8e67f1u, -0x1.dae98e223747dp-55},
    {0x3fefba1bee615a27u, 0x1.ec3bc41aa2008p-55},
    {0x3fefc52b376bba97u, 0x1.42b94c3a9eb32p-55},
    {0x3fefd0765b6e4540u, 0x1.a64a931d185eep-55},
    {0x3fefdbfdad9cbe14u, -0x1.e37bae43be3edp-55},
    {0x3fefe7c1819e90d8u, 0x1.7893b4d91cd9dp-56},
    {0x3feff3c22b8f71f1u, 0x1.305c14160cc89p-58},
};

// Float logarithm: x = 2^k * z with z in [0.69921875, 1.3984375), cut into 64 intervals by the top six
// mantissa bits of bits(x) - bits(0.69921875). For each: invc, about 1 / (interval centre) with at most 29
// significant bits (so z * invc is exact for a float z), and log2c = log2(1 / invc). The interval that
// holds 1 has invc = 1. |z * invc - 1| <= 0.00782. Generated by tools/math_tables.py.
constexpr uint32_t log2fOffset = 0x3f330000;
struct Log2fEntry {
    double invc;
    double log2c;
};
constexpr Log2fEntry log2fTable[64] = {
    {0x1.6c16c17000000p+0, -0x1.042bd4c1971a1p-1},
    {0x1.6816817000000p+0, -0x1.f804aead82bc8p-2},
    {0x1.642c859000000p+0, -0x1.e7df5fe256025p-2},
    {0x1.6058160000000p+0, -0x1.d7e6c094ae102p-2},
    {0x1.5c9882c000000p+0, -0x1.c819dc4a20978p-2},
    {0x1.58ed231000000p+0, -0x1.b877c59d0247ep-2},
    {0x1.5555555000000p+0, -0x1.a8ff9700fb5e8p-2},
    {0x1.51d07eb000000p+0, -0x1.99b072b15bbbbp-2},
    {0x1.4e5e0a7000000p+0, -0x1.8a89809effdb0p-2},
    {0x1.4afd6a0000000p+0, -0x1.7b89f015dd637p-2},
    {0x1.47ae148000000p+0, -0x1.6cb0f69d71d60p-2},
    {0x1.446f865000000p+0, -0x1.5dfdcf02c8f1ep-2},
    {0x1.4141414000000p+0, -0x1.4f6fbb272707bp-2},
    {0x1.3e22cbd000000p+0, -0x1.410601842e1abp-2},
    {0x1.3b13b14000000p+0, -0x1.32bfee4e242dfp-2},
    {0x1.3813814000000p+0, -0x1.249cd2d6bf6adp-2},
    {0x1.3521cfb000000p+0, -0x1.169c0529431d6p-2},
    {0x1.323e34a000000p+0, -0x1.08bce0cc63ab5p-2},
    {0x1.2f684be000000p+0, -0x1.f5fd8aca1915cp-3},
    {0x1.2c9fb4e000000p+0, -0x1.dac22d8c2bee2p-3},
    {0x1.29e412a000000p+0, -0x1.bfc67a914f425p-3},
    {0x1.27350b9000000p+0, -0x1.a5094ba42ba7fp-3},
    {0x1.2492492000000p+0, -0x1.8a89807dd1446p-3},
    {0x1.21fb781000000p+0, -0x1.70460306d6056p-3},
    {0x1.1f7047e000000p+0, -0x1.563dc2c860081p-3},
    {0x1.1cf06ae000000p+0, -0x1.3c6fb68d65c07p-3},
    {0x1.1a7b961000000p+0, -0x1.22dadc196353ep-3},
    {0x1.1811812000000p+0, -0x1.097e39220d876p-3},
    {0x1.15b1e5f000000p+0, -0x1.e0b1adf360338p-4},
    {0x1.135c811000000p+0, -0x1.aed3916343f5dp-4},
    {0x1.1111111000000p+0, -0x1.7d604955e66d6p-4},
    {0x1.0ecf56c000000p+0, -0x1.4c5610092ae3ap-4},
    {0x1.0c97150000000p+0, -0x1.1bb32abc5a676p-4},
    {0x1.0a6810a000000p+0, -0x1.d6ebd0d174c37p-5},
    {0x1.0842108000000p+0, -0x1.77394be4eb523p-5},
    {0x1.0624dd3000000p+0, -0x1.184b8e74bbec7p-5},
    {0x1.0410410000000p+0, -0x1.743ee6f09edf1p-6},
    {0x1.0204081000000p+0, -0x1.72c7ba09e1eb1p-7},
    {0x1.0000000000000p+0, 0x0.0p+0},
    {0x1.f81f820000000p-1, 0x1.6e7966ead8ac5p-6},
    {0x1.f07c1f0000000p-1, 0x1.6bad38119a13ap-5},
    {0x1.e9131ac000000p-1, 0x1.0eb389ee9f560p-4},
    {0x1.e1e1e1e000000p-1, 0x1.663f6fc3a678dp-4},
    {0x1.dae6077000000p-1, 0x1.bc8423d408321p-4},
    {0x1.d41d41d000000p-1, 0x1.08c588e79f8e9p-3},
    {0x1.cd85689000000p-1, 0x1.32ae9e28fc362p-3},
    {0x1.c71c71c000000p-1, 0x1.5c01a3cde7f74p-3},
    {0x1.c0e0704000000p-1, 0x1.84c2bccf005a9p-3},
    {0x1.bacf915000000p-1, 0x1.acf5e2c156d8fp-3},
    {0x1.b4e81b5000000p-1, 0x1.d49ee4b90c47cp-3},
    {0x1.af286bd000000p-1, 0x1.fbc16b67c143bp-3},
    {0x1.a98ef60000000p-1, 0x1.11307dc445fecp-2},
    {0x1.a41a41a000000p-1, 0x1.24407abf4dc03p-2},
    {0x1.9ec8e95000000p-1, 0x1.37124cede831fp-2},
    {0x1.999999a000000p-1, 0x1.49a784a5bc715p-2},
    {0x1.948b0fd000000p-1, 0x1.5c01a3965cc38p-2},
    {0x1.8f9c190000000p-1, 0x1.6e221cc2bb868p-2},
    {0x1.8acb90f000000p-1, 0x1.800a564aa10b6p-2},
    {0x1.8618618000000p-1, 0x1.91bba8a906b7fp-2},
    {0x1.8181818000000p-1, 0x1.a33760adbb56ep-2},
    {0x1.7d05f41000000p-1, 0x1.b47ebf91d417cp-2},
    {0x1.78a4c81000000p-1, 0x1.c592faf028f8ep-2},
    {0x1.745d174000000p-1, 0x1.d6753e1a43e85p-2},
    {0x1.702e05c000000p-1, 0x1.e726aa2157f61p-2},
};

// ln 2 with a 32-bit head, so that k * ln2Hi is exact for every exponent k.
constexpr double ln2Hi = 0x1.62e42ff000000p-1;
constexpr double ln2Lo = -0x1.718432a1b0e26p-35;
// ln 2 / 128 with a 35-bit head (k * ln2By128Hi is exact for |k| < 2^18, |x| < 1400), and 128 / ln 2.
constexpr double ln2By128Hi = 0x1.62e42fefc0000p-8;
constexpr double ln2By128Lo = -0x1.c610ca86c3899p-44;
constexpr double inverseLn2By128 = 0x1.71547652b82fep+7;
// Adding and subtracting 1.5 * 2^52 rounds a double of magnitude below 2^51 to the nearest integer; the
// low bits of the sum hold that integer in two's complement.
constexpr double roundingShift = 0x1.8p52;
// ---------------------------------------------------------------- logarithm
// Splits a positive normal x into its table interval: x = 2^k * z.
struct LogReduction {
    int64_t k;
    double z;
    const LogEntry* entry;
};

inline LogReduction reduceForLog(double x, int64_t extra) {
    const uint64_t ix = bitsOf(x);
    const uint64_t tmp = ix - logOffset;
    const auto j = static_cast<int>((tmp >> (52 - logTableBits)) & ((1u << logTableBits) - 1));
    const int64_t k = static_cast<int64_t>(tmp) >> 52; // arithmetic shift: the exponent may be negative
    const double z = fromBits(ix - (tmp & (uint64_t{0xfff} << 52)));
    return {k + extra, z, &logTable[j]};
}

// a + b as hi + lo exactly, where |a| >= |b| or a = 0 (Dekker's fast two-sum).
inline Wide fastTwoSum(double a, double b) {
    const double s = a + b;
    return {s, (a - s) + b};
}

// ---------------------------------------------------------------- exponential
constexpr double expC2 = 0x1.fffffffffff58p-2;
constexpr double expC3 = 0x1.5555555555525p-3;
constexpr double expC4 = 0x1.55555accc1ca7p-5;
constexpr double expC5 = 0x1.11111430bcc06p-7;

struct ExpReduction {
    uint64_t ki;
    double tmp;
};

// 2^(k/128) rounded, for k whose e = floor(k / 128) lies in [-1022, 1023].
inline double expScale(uint64_t ki) {
    return fromBits(expTable[ki & expTableMask].bits + (ki << (52 - expTableBits)));
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

// exp(x + xl) takes its fast path for 2^-54 <= |x| < 620: the scale 2^(k/128) is then between 2^-895
// and 2^895, the result normal, and every fma inside fmaSoft's range (for smaller |x|, r^2 may fall into
// the subnormals with nothing to add it to). One comparison of the magnitude's bits.
inline bool isExpNormal(double x) {
    constexpr uint64_t low = 0x3c90000000000000u;  // 2^-54
    constexpr uint64_t high = 0x4083600000000000u; // 620
    return (bitsOf(x) & ~(uint64_t{1} << 63)) - low < high - low;
}

// ---------------------------------------------------------------- single-precision power
// pow(x, y) = 2^(y log2 x), in double precision with fmas, rounded once to float at the end.
//
// Error bound. log2 x = k + log2c + log2(1 + r), r = z * invc - 1 exact (24 + 29 bits, and the product lies
// within 2^-6 of 1), |r| <= 0.00782. log2(1 + r) = r * q(r) with q a near-minimax quartic, relative error
// 2^-41.6 with its coefficients rounded (measured by tools/math_tables.py). 128 l is computed as
// c + r^2 high, c = 128 (k + log2c) + r A0 (two roundings, 2^-52 of |c|) and high = A1 + r A2 +
// r^2 (A3 + r A4) (2^-51 of a term below 2^-7.8 of l). Where k = 0 and invc = 1, c = r A0 with one
// rounding; elsewhere x lies outside [0.996, 1.0078], so |l| >= 0.0056 while |r q(r)| <= 0.0113: either way
// l carries a relative error below 2^-40.4, and u = y c + (y r^2) high, 128 t with three more roundings
// (2^-52 of u), below 2^-40.2 of t.
// A finite non-zero float result needs |t| < 150, so t's absolute error is below 2^-33, which makes a
// relative error of ln 2 * 2^-33 < 2^-33.5 in 2^t.
// With i the integer nearest to u, s = u - i is exact, |s| <= 1/2, and 2^(u/128) = 2^(i/128) * 2^r,
// r = s / 128; 2^r = 1 + r p(r), p a near-minimax quadratic, relative error 2^-40.7 (written in s, the
// powers of 1/128 taken into the coefficients exactly); the table value, 1 + s p and the product with the
// scale add 2^-51.
// In all the double carries a relative error below 2^-33.4 = 2^-9.4 of a float ulp (2^-24 relative at
// least), and so the float result is within 0.502 ulp of the exact power (correctly rounded except within
// 2^-9.4 ulp of a half-way point), subnormal results included.
// Beyond |t| = 1000 the result is 0 or infinity either way; u is clamped there, which keeps the scale's
// exponent in range.
constexpr double log2fA0 = 0x1.71547652b82b5p+0; // q(r) = log2(1 + r) / r
constexpr double log2fA1 = -0x1.7154765063e36p-1;
constexpr double log2fA2 = 0x1.ec709df788bedp-2;
constexpr double log2fA3 = -0x1.715931e4dbd39p-2;
constexpr double log2fA4 = 0x1.2767e63ff5c6ep-2;
constexpr double exp2fB0 = 0x1.62e42fefa39efp-1 / 128; // p(r) = (2^r - 1) / r, as a polynomial in 128 r
constexpr double exp2fB1 = 0x1.ebfbeebe2d1a2p-3 / (128.0 * 128);
constexpr double exp2fB2 = 0x1.c6b095a17a14dp-5 / (128.0 * 128 * 128);
constexpr double exp2fClamp = 128000.0;
constexpr double log2fA0x128 = log2fA0 * 128;
constexpr double log2fA1x128 = log2fA1 * 128;
constexpr double log2fA2x128 = log2fA2 * 128;
constexpr double log2fA3x128 = log2fA3 * 128;
constexpr double log2fA4x128 = log2fA4 * 128;

// u limited to [-exp2fClamp, exp2fClamp] (not a NaN): the instructions maxsd and minsd, which every x86
// target has (the comparisons written out turn into branches).
inline double clampToExp2fRange(double u) {
    __m128d v = _mm_max_sd(_mm_set_sd(u), _mm_set_sd(-exp2fClamp)); // u > -clamp ? u : -clamp
    v = _mm_min_sd(v, _mm_set_sd(exp2fClamp));                      // v < clamp ? v : clamp
    return _mm_cvtsd_f64(v);
}

// The float logarithm's table with 128 log2c in place of log2c (exact): the float power works in 128 log2.
struct Log2fTable128 {
    Log2fEntry entries[64];
};
constexpr Log2fTable128 log2fTable128 = [] {
    Log2fTable128 t{};
    for (int i = 0; i < 64; ++i) {
        t.entries[i] = {log2fTable[i].invc, log2fTable[i].log2c * 128};
    }
    return t;
}();

// The entry of a table at a byte offset (an index already scaled by the entry's size saves a shift).
template <typename T> inline const T& byteOffset(const T* table, uint32_t offset) {
    return *reinterpret_cast<const T*>(reinterpret_cast<const char*>(table) + offset);
}

// x is a positive normal float and y is finite.
inline bool isOrdinaryPowf(uint32_t ix, uint32_t iy) {
    return ix - 0x00800000u < 0x7f000000u && (iy & 0x7f800000u) != 0x7f800000u;
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

// tanh(a) = a + a^3 P(a^2) for a < 1/8: P near-minimax, relative error of tanh 2^-61.6 with the
// coefficients rounded; a^3 P is below 2^-6 a, so its rounding adds 2^-59 a.
constexpr double tanhSmall = 0.125;
constexpr double tanhP0 = -0x1.5555555555555p-2;
constexpr double tanhP1 = 0x1.1111111110a7cp-3;
constexpr double tanhP2 = -0x1.ba1ba1b54e397p-5;
constexpr double tanhP3 = 0x1.664f3e418c74ap-6;
constexpr double tanhP4 = -0x1.22644d5cb6df3p-7;
constexpr double tanhP5 = 0x1.cdfceabb13934p-9;
// 1 - tanh(a) = 2 / (exp(2a) + 1) < 2^-54 for a >= 19.1: tanh rounds to 1 there.
constexpr double tanhSaturated = 19.1;

// ---------------------------------------------------------------- sin(pi x)

// sin(pi b) = pi b + b^3 S(b^2) and cos(pi b) = 1 - (pi b)^2 / 2 + b^4 C(b^2) for 0 <= b <= 1/4: S and C
// near-minimax, relative error 2^-57.7 and absolute error 2^-59.8 with the coefficients rounded. (The
// cosine serves b from 1/4 up: 1/2 - b is exact there.) The sine's correction term reaches 0.1 of its
// result, whose roundings make its worst case 0.8 ulp; the cosine's stays below 0.02 (0.55 ulp).
constexpr double sinS0 = -0x1.4abbce625be53p+2;
constexpr double sinS1 = 0x1.466bc6775aae2p+1;
constexpr double sinS2 = -0x1.32d2cce62bd85p-1;
constexpr double sinS3 = 0x1.50783487ee37dp-4;
constexpr double sinS4 = -0x1.e3074fdd8bbb6p-8;
constexpr double sinS5 = 0x1.e8f432b4ce4c9p-12;
constexpr double sinS6 = -0x1.6fab3c3eb25c4p-16;
constexpr double sinS7 = 0x1.a7da70b1f459cp-21;
constexpr double cosC0 = 0x1.03c1f081b5ac4p+2;
constexpr double cosC1 = -0x1.55d3c7e3cbffap+0;
constexpr double cosC2 = 0x1.e1f506891b72fp-3;
constexpr double cosC3 = -0x1.a6d1f2a15a701p-6;
constexpr double cosC4 = 0x1.f9d38850e5eedp-10;
constexpr double cosC5 = -0x1.b6df855cc99ffp-14;
constexpr double cosC6 = 0x1.1ebe62242e9d8p-18;
// pi with a 26-bit head, so that its product with a 27-bit number is exact.
constexpr double piHi = 0x1.921fb58000000p+1;
constexpr double piLo = -0x1.dde973dcb3b3ap-26;
// pi as the nearest double and the rest (pi - that, rounded).
constexpr double pi = 0x1.921fb54442d18p+1;
constexpr double piTail = 0x1.1a62633145c07p-53;

// ---------------------------------------------------------------- fused multiply-add
// a * b as hi + lo exactly (Dekker): Veltkamp's split cuts a and b into halves of at most 26 significant
// bits each, so the four partial products are exact, and so is every step of lo's sum. Needs |a|, |b| <
// 2^995 (the split multiplies by 2^27 + 1) and |a b| = 0 or >= 2^-968 (then every partial product is a
// multiple of 2^-1074, so none is rounded in the subnormals).
inline Wide exactProduct(double a, double b) {
    constexpr double splitter = 0x1p27 + 1.0;
    const double ca = splitter * a;
    const double ah = ca - (ca - a);
    const double al = a - ah;
    const double cb = splitter * b;
    const double bh = cb - (cb - b);
    const double bl = b - bh;
    const double ph = a * b;
    return {ph, (((ah * bh - ph) + ah * bl) + al * bh) + al * bl};
}

} // namespace

namespace detail {

// a * b + c rounded once, with +, -, * and bit operations only.
//
// 1. a * b = ph + pl exactly (exactProduct).
// 2. c + ph = th + tl exactly (Knuth's two-sum), th = c + ph rounded.
// 3. v = tl + pl rounded to odd: rounded to nearest as s with the exact error, and where the error is not
//    zero and s is even, s moved by one ulp towards the exact sum (neighbouring doubles alternate in
//    parity, so that neighbour is odd and lies on the other side of the exact sum).
// 4. The result is th + v rounded to nearest. The exact result is x = th + y with y = tl + pl.
//    - If v = y (the sum of step 3 was exact), the result is x rounded: correct.
//    - Otherwise tl != 0, so step 2 rounded, so c + ph is not exact and therefore (Sterbenz) not a
//      cancellation: |c + ph| > |ph| / 2, hence |th| >= |ph| / 2, ulp(ph) <= 2 ulp(th), and
//      |y| <= ulp(th) / 2 + ulp(ph) / 2 <= 1.5 ulp(th) <= 2^-51.4 |th|. So x lies within 2^-51 of th,
//      and the points where rounding to nearest changes its result near x (the midpoints between
//      doubles) are multiples of ulp(th) / 4 at least. ulp(v) <= 2^-52 |y| is far smaller than that:
//      those points, less th, are multiples of 2 ulp(v). y is not a double, so it lies strictly between
//      the two doubles next to it, v - ulp(v) and v + ulp(v) (v is odd, so both of them are even: both
//      multiples of 2 ulp(v)), and so does v. Hence th + y and th + v lie strictly on the same side of
//      every midpoint, and both round to the same double.
// The sign of an exact zero: th + v with v = +0 would turn th = -0 into +0; th is then the result.
//
// Correctly rounded, then, for finite operands with |a|, |b| < 2^995, |c| < 2^1020, and |a b| either 0,
// or in [2^-968, 2^1020]. Also when |a b| < 2^-60 |c| with |c| >= 2^-960: then ph + pl is off by at most
// 2^-1072 (roundings in the subnormals), the result is c as it should be, since |y| stays below a
// quarter of an ulp of c.
double fmaSoft(double a, double b, double c) noexcept {
    const Wide p = exactProduct(a, b);
    const Wide t = twoSum(c, p.hi);
    const Wide v = twoSum(t.lo, p.lo);
    uint64_t bits = bitsOf(v.hi);
    if (v.lo != 0.0 && (bits & 1) == 0) {
        // away from zero when the error has v.hi's sign, else towards it
        bits += ((bits ^ bitsOf(v.lo)) >> 63) != 0 ? ~uint64_t{0} : uint64_t{1};
    }
    const double odd = fromBits(bits);
    return odd == 0.0 ? t.hi : t.hi + odd;
}

} // namespace detail

namespace {

// True when the processor has FMA and AVX2 and the operating system saves the AVX registers.
bool detectHardwareFma() noexcept {
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
        return false;
    }
    const unsigned needed = bit_FMA | bit_OSXSAVE | bit_AVX;
    if ((ecx & needed) != needed) {
        return false;
    }
    // the operating system saves the SSE and AVX registers (XCR0 bits 1 and 2) across context switches
    unsigned xcr0 = 0;
    unsigned xcr0High = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
    if ((xcr0 & 6u) != 6u) {
        return false;
    }
    if (__get_cpuid_max(0, nullptr) < 7) {
        return false;
    }
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    return (ebx & bit_AVX2) != 0;
}

// ---------------------------------------------------------------- the software path
namespace soft {
inline double fma(double a, double b, double c) {
    return detail::fmaSoft(a, b, c);
}
inline double fmaOfExactProduct(double a, double b, double c) {
    return a * b + c;
}
inline double fmaExact(double a, double b, double c) {
    const Wide p = exactProduct(a, b);
    return (c + p.hi) + p.lo;
}
#include "dsp/math_kernels.inc"
} // namespace soft

// ---------------------------------------------------------------- the FMA path
// Every function from here to the end of the region is compiled for processors with FMA and AVX2; they
// run only where detectHardwareFma() found both.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,fma")
#endif
namespace hard {
inline double fma(double a, double b, double c) {
    return __builtin_fma(a, b, c);
}
inline double fmaOfExactProduct(double a, double b, double c) {
    return __builtin_fma(a, b, c);
}
inline double fmaExact(double a, double b, double c) {
    return __builtin_fma(a, b, c);
}
#include "dsp/math_kernels.inc"

// The batch power, four bases at a time in double lanes, every operation the scalar powf's in the same
// order, so the bits are the same. A group with a base that is not a positive normal float is computed
// regardless (harmlessly: every table index is masked into range) and then replaced by the scalar
// function's results. The table entries are loaded one by one: gathers are slower on some processors.
void powBatch(const float* base, float exponent, float* out, int n) noexcept {
    static_assert(sizeof(Log2fEntry) == 16 && sizeof(ExpEntry) == 16);
    int i = 0;
    if ((bitsOf(exponent) & 0x7f800000u) != 0x7f800000u) {
        const __m256d y = _mm256_set1_pd(static_cast<double>(exponent));
        // bits - 2^23, as unsigned, below 0x7f000000: flipping the sign bits makes it a signed comparison
        const __m128i normalBound = _mm_set1_epi32(static_cast<int>(0x7f000000u ^ 0x80000000u));
        const __m128i normalShift = _mm_set1_epi32(static_cast<int>(0x80000000u - 0x00800000u));
        const __m128i offset = _mm_set1_epi32(static_cast<int>(log2fOffset));
        const __m128i exponentMask = _mm_set1_epi32(static_cast<int>(0xff800000u));
        const __m128i log2fIndexMask = _mm_set1_epi32(63 << 4);
        const __m256i expIndexMask = _mm256_set1_epi64x(expTableMask << 4);
        for (; i + 4 <= n; i += 4) {
            const __m128i ix = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + i));
            const __m128i ordinary = _mm_cmplt_epi32(_mm_add_epi32(ix, normalShift), normalBound);
            // 128 log2 x
            const __m128i tmp = _mm_sub_epi32(ix, offset);
            const __m128i exponentBits = _mm_and_si128(tmp, exponentMask);
            alignas(16) uint32_t at[4]; // byte offsets into the table
            _mm_store_si128(reinterpret_cast<__m128i*>(at),
                            _mm_and_si128(_mm_srli_epi32(tmp, 13), log2fIndexMask));
            const auto entry = [&](int lane) {
                return _mm_load_pd(&byteOffset(log2fTable128.entries, at[lane]).invc); // invc, 128 log2c
            };
            const __m256d e02 = _mm256_insertf128_pd(_mm256_castpd128_pd256(entry(0)), entry(2), 1);
            const __m256d e13 = _mm256_insertf128_pd(_mm256_castpd128_pd256(entry(1)), entry(3), 1);
            const __m256d invc = _mm256_unpacklo_pd(e02, e13);
            const __m256d log2c = _mm256_unpackhi_pd(e02, e13);
            const __m256d k128 = _mm256_cvtepi32_pd(_mm_srai_epi32(exponentBits, 16));
            const __m256d z = _mm256_cvtps_pd(_mm_castsi128_ps(_mm_sub_epi32(ix, exponentBits)));
            const __m256d r = _mm256_fmadd_pd(z, invc, _mm256_set1_pd(-1.0));
            const __m256d r2 = _mm256_mul_pd(r, r);
            const __m256d c0 = _mm256_add_pd(k128, log2c);
            const __m256d qa = _mm256_fmadd_pd(r, _mm256_set1_pd(log2fA2x128), _mm256_set1_pd(log2fA1x128));
            const __m256d qb = _mm256_fmadd_pd(r, _mm256_set1_pd(log2fA4x128), _mm256_set1_pd(log2fA3x128));
            const __m256d high = _mm256_fmadd_pd(r2, qb, qa);
            const __m256d c = _mm256_fmadd_pd(r, _mm256_set1_pd(log2fA0x128), c0);
            // 2^(u / 128)
            __m256d u = _mm256_mul_pd(y, _mm256_fmadd_pd(r2, high, c));
            u = _mm256_max_pd(u, _mm256_set1_pd(-exp2fClamp)); // as the scalar clamp: u > -clamp ? u : -clamp
            u = _mm256_min_pd(u, _mm256_set1_pd(exp2fClamp));
            const __m256d kd = _mm256_add_pd(u, _mm256_set1_pd(roundingShift));
            const __m256d s = _mm256_sub_pd(u, _mm256_sub_pd(kd, _mm256_set1_pd(roundingShift)));
            const __m256i ki = _mm256_castpd_si256(kd);
            alignas(32) uint64_t expAt[4];
            _mm256_store_si256(reinterpret_cast<__m256i*>(expAt),
                               _mm256_and_si256(_mm256_slli_epi64(ki, 4), expIndexMask));
            const __m256i tableBits = _mm256_set_epi64x(
                static_cast<long long>(byteOffset(expTable, static_cast<uint32_t>(expAt[3])).bits),
                static_cast<long long>(byteOffset(expTable, static_cast<uint32_t>(expAt[2])).bits),
                static_cast<long long>(byteOffset(expTable, static_cast<uint32_t>(expAt[1])).bits),
                static_cast<long long>(byteOffset(expTable, static_cast<uint32_t>(expAt[0])).bits));
            const __m256d scale =
                _mm256_castsi256_pd(_mm256_add_epi64(tableBits, _mm256_slli_epi64(ki, 52 - expTableBits)));
            const __m256d pa = _mm256_fmadd_pd(s, _mm256_set1_pd(exp2fB2), _mm256_set1_pd(exp2fB1));
            const __m256d pb = _mm256_fmadd_pd(s, pa, _mm256_set1_pd(exp2fB0));
            const __m256d w = _mm256_mul_pd(scale, _mm256_fmadd_pd(s, pb, _mm256_set1_pd(1.0)));
            _mm_storeu_ps(out + i, _mm256_cvtpd_ps(w));
            if (_mm_movemask_epi8(ordinary) != 0xffff) [[unlikely]] {
                alignas(16) float x[4]; // the bases (out may be base)
                _mm_store_si128(reinterpret_cast<__m128i*>(x), ix);
                for (int lane = 0; lane < 4; ++lane) {
                    out[i + lane] = powf(x[lane], exponent);
                }
            }
        }
    }
    for (; i < n; ++i) {
        out[i] = powf(base[i], exponent);
    }
}

// The batch tanh, four at a time, every operation the scalar tanh's in the same order: both of its formulas
// are computed for every lane (harmlessly where they do not apply: every table index is masked into range)
// and each lane keeps its own. A group holding a NaN is computed by the scalar function.
void tanhBatch(const double* x, double* out, int n) noexcept {
    int i = 0;
    const __m256d signBit = _mm256_set1_pd(-0.0);
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d two = _mm256_set1_pd(2.0);
    const __m256i expIndexMask = _mm256_set1_epi64x(expTableMask << 4);
    for (; i + 4 <= n; i += 4) {
        const __m256d v = _mm256_loadu_pd(x + i);
        const __m256d sign = _mm256_and_pd(v, signBit);
        const __m256d a = _mm256_andnot_pd(signBit, v);
        // a < 1/8: a + a^3 P(a^2), or a itself below 2^-27
        const __m256d u = _mm256_mul_pd(a, a);
        const __m256d u2 = _mm256_mul_pd(u, u);
        const __m256d p = _mm256_fmadd_pd(
            u2,
            _mm256_fmadd_pd(u2, _mm256_fmadd_pd(u, _mm256_set1_pd(tanhP5), _mm256_set1_pd(tanhP4)),
                            _mm256_fmadd_pd(u, _mm256_set1_pd(tanhP3), _mm256_set1_pd(tanhP2))),
            _mm256_fmadd_pd(u, _mm256_set1_pd(tanhP1), _mm256_set1_pd(tanhP0)));
        __m256d small = _mm256_fmadd_pd(a, _mm256_mul_pd(u, p), a);
        small = _mm256_blendv_pd(small, a, _mm256_cmp_pd(a, _mm256_set1_pd(0x1p-27), _CMP_LT_OQ));
        // up to 19.1: 1 - 2 / (exp(2a) + 1), the exponential reduced as reduceForExp(2a, 0) does
        const __m256d x2 = _mm256_mul_pd(two, a);
        const __m256d kd =
            _mm256_fmadd_pd(x2, _mm256_set1_pd(inverseLn2By128), _mm256_set1_pd(roundingShift));
        const __m256d k = _mm256_sub_pd(kd, _mm256_set1_pd(roundingShift));
        const __m256d rh = _mm256_fnmadd_pd(k, _mm256_set1_pd(ln2By128Hi), x2);
        const __m256d rl = _mm256_fnmadd_pd(k, _mm256_set1_pd(ln2By128Lo), _mm256_setzero_pd());
        const __m256d r = _mm256_add_pd(rh, rl);
        const __m256d rerr = _mm256_add_pd(_mm256_sub_pd(rh, r), rl);
        const __m256i ki = _mm256_castpd_si256(kd);
        alignas(32) uint64_t at[4]; // byte offsets into the table
        _mm256_store_si256(reinterpret_cast<__m256i*>(at),
                           _mm256_and_si256(_mm256_slli_epi64(ki, 4), expIndexMask));
        const auto entry = [&](int lane) { // bits, tail
            return _mm_loadu_pd(
                reinterpret_cast<const double*>(&byteOffset(expTable, static_cast<uint32_t>(at[lane]))));
        };
        const __m256d e02 = _mm256_insertf128_pd(_mm256_castpd128_pd256(entry(0)), entry(2), 1);
        const __m256d e13 = _mm256_insertf128_pd(_mm256_castpd128_pd256(entry(1)), entry(3), 1);
        const __m256i tableBits = _mm256_castpd_si256(_mm256_unpacklo_pd(e02, e13));
        const __m256d tail = _mm256_unpackhi_pd(e02, e13);
        const __m256d r2 = _mm256_mul_pd(r, r);
        const __m256d poly =
            _mm256_fmadd_pd(r2, _mm256_fmadd_pd(r, _mm256_set1_pd(expC5), _mm256_set1_pd(expC4)),
                            _mm256_fmadd_pd(r, _mm256_set1_pd(expC3), _mm256_set1_pd(expC2)));
        const __m256d tmp = _mm256_add_pd(r, _mm256_fmadd_pd(r2, poly, _mm256_add_pd(tail, rerr)));
        const __m256d scale =
            _mm256_castsi256_pd(_mm256_add_epi64(tableBits, _mm256_slli_epi64(ki, 52 - expTableBits)));
        const __m256d dh0 = _mm256_add_pd(scale, one);
        const __m256d e1 = _mm256_add_pd(_mm256_sub_pd(scale, dh0), one);
        const __m256d dh = _mm256_fmadd_pd(scale, tmp, dh0);
        const __m256d dl = _mm256_add_pd(_mm256_fmadd_pd(scale, tmp, _mm256_sub_pd(dh0, dh)), e1);
        const __m256d q0 = _mm256_div_pd(two, dh);
        const __m256d remainder = _mm256_fnmadd_pd(q0, dl, _mm256_fnmadd_pd(q0, dh, two));
        const __m256d ql = _mm256_mul_pd(remainder, _mm256_mul_pd(_mm256_set1_pd(0.5), q0));
        const __m256d s = _mm256_sub_pd(one, q0);
        const __m256d middle = _mm256_add_pd(s, _mm256_sub_pd(_mm256_sub_pd(_mm256_sub_pd(one, s), q0), ql));
        // beyond: 1
        __m256d t =
            _mm256_blendv_pd(one, middle, _mm256_cmp_pd(a, _mm256_set1_pd(tanhSaturated), _CMP_LT_OQ));
        t = _mm256_blendv_pd(t, small, _mm256_cmp_pd(a, _mm256_set1_pd(tanhSmall), _CMP_LT_OQ));
        _mm256_storeu_pd(out + i, _mm256_or_pd(t, sign));
        if (_mm256_movemask_pd(_mm256_cmp_pd(v, v, _CMP_UNORD_Q)) != 0) [[unlikely]] {
            alignas(32) double group[4]; // the arguments (out may be x)
            _mm256_store_pd(group, v);
            for (int lane = 0; lane < 4; ++lane) {
                out[i + lane] = tanh(group[lane]);
            }
        }
    }
    for (; i < n; ++i) {
        out[i] = tanh(x[i]);
    }
}

} // namespace hard
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

// ---------------------------------------------------------------- the choice of path
// Each function is called through a pointer: one indirect jump, well predicted. The pointers start at
// functions that detect the processor, install the path for every function, and carry on; a race only
// detects twice and installs the same pointers, so relaxed order is enough. Constant-initialised:
// nothing runs before main or at load time.
float powfFirst(float x, float y) noexcept;
void powBatchFirst(const float* base, float exponent, float* out, int n) noexcept;
double powFirst(double x, double y) noexcept;
double expFirst(double x) noexcept;
double tanhFirst(double x) noexcept;
void tanhBatchFirst(const double* x, double* out, int n) noexcept;
double sinPiFirst(double x) noexcept;

std::atomic<float (*)(float, float) noexcept> powfEntry{powfFirst};
std::atomic<void (*)(const float*, float, float*, int) noexcept> powBatchEntry{powBatchFirst};
std::atomic<double (*)(double, double) noexcept> powEntry{powFirst};
std::atomic<double (*)(double) noexcept> expEntry{expFirst};
std::atomic<double (*)(double) noexcept> tanhEntry{tanhFirst};
std::atomic<void (*)(const double*, double*, int) noexcept> tanhBatchEntry{tanhBatchFirst};
std::atomic<double (*)(double) noexcept> sinPiEntry{sinPiFirst};
// 0: not yet chosen; 1: the software path; 2: the FMA path
std::atomic<int> pathState{0};

void softPowBatch(const float* base, float exponent, float* out, int n) noexcept {
    for (int i = 0; i < n; ++i) {
        out[i] = soft::powf(base[i], exponent);
    }
}

void softTanhBatch(const double* x, double* out, int n) noexcept {
    for (int i = 0; i < n; ++i) {
        out[i] = soft::tanh(x[i]);
    }
}

void installPath(bool hardware) noexcept {
    constexpr auto r = std::memory_order_relaxed;
    if (hardware) {
        powfEntry.store(hard::powf, r);
        powBatchEntry.store(hard::powBatch, r);
        powEntry.store(hard::pow, r);
        expEntry.store(hard::exp, r);
        tanhEntry.store(hard::tanh, r);
        tanhBatchEntry.store(hard::tanhBatch, r);
        sinPiEntry.store(hard::sinPi, r);
    } else {
        powfEntry.store(soft::powf, r);
        powBatchEntry.store(softPowBatch, r);
        powEntry.store(soft::pow, r);
        expEntry.store(soft::exp, r);
        tanhEntry.store(soft::tanh, r);
        tanhBatchEntry.store(softTanhBatch, r);
        sinPiEntry.store(soft::sinPi, r);
    }
    pathState.store(hardware ? 2 : 1, r);
}

[[gnu::noinline, gnu::cold]] void installDetectedPath() noexcept {
    installPath(detectHardwareFma());
}

float powfFirst(float x, float y) noexcept {
    installDetectedPath();
    return powfEntry.load(std::memory_order_relaxed)(x, y);
}
void powBatchFirst(const float* base, float exponent, float* out, int n) noexcept {
    installDetectedPath();
    powBatchEntry.load(std::memory_order_relaxed)(base, exponent, out, n);
}
double powFirst(double x, double y) noexcept {
    installDetectedPath();
    return powEntry.load(std::memory_order_relaxed)(x, y);
}
double expFirst(double x) noexcept {
    installDetectedPath();
    return expEntry.load(std::memory_order_relaxed)(x);
}
double tanhFirst(double x) noexcept {
    installDetectedPath();
    return tanhEntry.load(std::memory_order_relaxed)(x);
}
void tanhBatchFirst(const double* x, double* out, int n) noexcept {
    installDetectedPath();
    tanhBatchEntry.load(std::memory_order_relaxed)(x, out, n);
}
double sinPiFirst(double x) noexcept {
    installDetectedPath();
    return sinPiEntry.load(std::memory_order_relaxed)(x);
}

} // namespace

namespace detail {

bool usesHardwareFma() noexcept {
    if (pathState.load(std::memory_order_relaxed) == 0) {
        installDetectedPath();
    }
    return pathState.load(std::memory_order_relaxed) == 2;
}

} // namespace detail

// ---------------------------------------------------------------- the functions
float pow(float x, float y) noexcept {
    return powfEntry.load(std::memory_order_relaxed)(x, y);
}

void pow(const float* base, float exponent, float* out, int n) noexcept {
    powBatchEntry.load(std::memory_order_relaxed)(base, exponent, out, n);
}

double pow(double x, double y) noexcept {
    return powEntry.load(std::memory_order_relaxed)(x, y);
}

double exp(double x) noexcept {
    return expEntry.load(std::memory_order_relaxed)(x);
}

double tanh(double x) noexcept {
    return tanhEntry.load(std::memory_order_relaxed)(x);
}

void tanh(const double* x, double* out, int n) noexcept {
    tanhBatchEntry.load(std::memory_order_relaxed)(x, out, n);
}

double sinPi(double x) noexcept {
    return sinPiEntry.load(std::memory_order_relaxed)(x);
}

} // namespace solvantis::math

namespace solvantis::math {

double atan(double x) noexcept {
    if (x != x) {
        return x;
    }
    const bool negative = x < 0.0;
    double a = negative ? -x : x;
    const bool inverted = a > 1.0;
    if (inverted) {
        a = 1.0 / a; // atan(a) = pi/2 - atan(1/a); an infinite a gives 0 here, pi/2 below
    }
    // Two halvings of the angle, atan(a) = 2 atan(a / (1 + sqrt(1 + a^2))), bring a to tan(pi/16) or
    // below, where 13 terms of the series leave an error below 2^-60.
    a = a / (1.0 + std::sqrt(1.0 + a * a));
    a = a / (1.0 + std::sqrt(1.0 + a * a));
    const double a2 = a * a;
    double sum = 0.0;
    for (int k = 12; k >= 0; --k) {
        const double term = 1.0 / static_cast<double>(2 * k + 1);
        sum = (k % 2 == 0 ? term : -term) + sum * a2;
    }
    double r = 4.0 * a * sum;
    if (inverted) {
        r = 1.5707963267948966 - r;
    }
    return negative ? -r : r;
}

} // namespace solvantis::math
