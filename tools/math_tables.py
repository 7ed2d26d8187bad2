#!/usr/bin/env python3
"""Prints the tables and polynomial coefficients of src/dsp/math_functions.cpp (needs python3-mpmath).

Every value is computed with 200-bit arithmetic and rounded once to double; the polynomials are
Chebyshev fits (near-minimax) whose coefficients are rounded to double. The printed error bounds are
measured on a dense grid with the rounded coefficients.
"""
import struct

import mpmath as mp

mp.mp.prec = 200


def hexd(v):
    return float(v).hex()


def bits_of_double(v):
    return struct.unpack('<Q', struct.pack('<d', float(v)))[0]


def float_from_bits(b):
    return struct.unpack('<f', struct.pack('<I', b))[0]


def round_to_bits(v, nbits):
    """v rounded to nbits significant bits."""
    m, e = mp.frexp(v)
    return mp.ldexp(mp.nint(mp.ldexp(m, nbits)), e - nbits)


def fit(f, lo, hi, degree, weight):
    """Chebyshev fit of f on [lo, hi]; returns the coefficients (low order first), rounded to double,
    and the largest |f - p| * weight(x) on a dense grid."""
    poly, _ = mp.chebyfit(f, [lo, hi], degree, error=True)
    coeffs = [mp.mpf(float(c)) for c in reversed(poly)]
    worst = mp.mpf(0)
    for i in range(2001):
        x = lo + (hi - lo) * i / 2000
        p = sum(c * x**k for k, c in enumerate(coeffs))
        worst = max(worst, abs(f(x) - p) * weight(x))
    return coeffs, worst


def log2_err(v):
    return float(mp.log(v, 2)) if v > 0 else float('-inf')


# 2^(j/128): the bits of the double nearest to it, less j << 45 (so that adding k << 45 for k = 128 e + j
# gives 2^e times it), and the relative rounding error of that double.
print('// exp table')
for j in range(128):
    v = mp.power(2, mp.mpf(j) / 128)
    hi = mp.mpf(float(v))
    tail = (v - hi) / hi
    print('    {0x%016xu, %s},' % ((bits_of_double(hi) - (j << 45)) % (1 << 64), hexd(tail)))

# Float logarithm: z in [0.69921875, 1.3984375) cut into 64 intervals by the top six bits of the
# mantissa of bits(x) - bits(0.69921875). invc ~ 1 / centre with 29 significant bits (so z * invc is exact
# for a float z), 1 for the interval that holds 1; log2c = log2(1 / invc).
OFF = 0x3f330000
print('// float log2 table')
rmin = mp.mpf(0)
rmax = mp.mpf(0)
one = (0x3f800000 - OFF) >> 17
for i in range(64):
    lo = mp.mpf(float_from_bits(OFF + (i << 17)))
    hi = mp.mpf(float_from_bits(OFF + ((i + 1) << 17)))
    invc = mp.mpf(1) if i == one else round_to_bits(2 / (lo + hi), 29)
    rmin = min(rmin, lo * invc - 1)
    rmax = max(rmax, (hi - mp.mpf(2)**-24) * invc - 1)
    print('    {%s, %s},' % (hexd(invc), hexd(-mp.log(invc, 2))))
print('// r in [%s, %s]' % (float(rmin), float(rmax)))
f = lambda r: mp.log(1 + r, 2) / r if r != 0 else 1 / mp.log(2)
c, e = fit(f, rmin, rmax, 5, lambda r: mp.log(2))
print('// log2(1 + r) / r, relative error 2^%.1f:' % log2_err(e), ', '.join(hexd(x) for x in c))

h = mp.log(2) / 256 * (1 + mp.mpf(2)**-20)
f = lambda r: (mp.exp(r) - 1 - r) / r**2 if r != 0 else mp.mpf(1) / 2
c, e = fit(f, -h, h, 4, lambda r: r * r)
print('// (exp(r) - 1 - r) / r^2 on |r| <= ln 2 / 256, absolute error of exp(r) 2^%.1f:' % log2_err(e),
      ', '.join(hexd(x) for x in c))

h = mp.mpf(1) / 256
f = lambda r: (mp.power(2, r) - 1) / r if r != 0 else mp.log(2)
c, e = fit(f, -h, h, 3, lambda r: abs(r) / mp.power(2, r))
print('// (2^r - 1) / r on |r| <= 1/256, relative error of 2^r 2^%.1f:' % log2_err(e),
      ', '.join(hexd(x) for x in c))

a0 = mp.mpf(1) / 8
f = lambda u: (mp.tanh(mp.sqrt(u)) - mp.sqrt(u)) / mp.sqrt(u)**3 if u != 0 else -mp.mpf(1) / 3
c, e = fit(f, 0, a0 * a0, 6, lambda u: u)
print('// (tanh(a) - a) / a^3 in u = a^2 <= 1/64, relative error of tanh 2^%.1f:' % log2_err(e),
      ', '.join(hexd(x) for x in c))

f = lambda u: (mp.sin(mp.pi * mp.sqrt(u)) - mp.pi * mp.sqrt(u)) / mp.sqrt(u)**3 if u != 0 else -mp.pi**3 / 6
c, e = fit(f, 0, mp.mpf(1) / 16, 8, lambda u: u / mp.pi)
print('// (sin(pi b) - pi b) / b^3 in u = b^2 <= 1/16, relative error 2^%.1f:' % log2_err(e),
      ', '.join(hexd(x) for x in c))
f = lambda u: (mp.cos(mp.pi * mp.sqrt(u)) - 1 + mp.pi**2 * u / 2) / u**2 if u != 0 else mp.pi**4 / 24
c, e = fit(f, 0, mp.mpf(1) / 16, 7, lambda u: u * u)
print('// (cos(pi b) - 1 + (pi b)^2 / 2) / b^4 in u = b^2 <= 1/16, absolute error 2^%.1f:' % log2_err(e),
      ', '.join(hexd(x) for x in c))
pi = mp.pi
pihi = round_to_bits(pi, 26)
print('// pi: 26-bit head %s, tail %s; pi^2 / 2 %s' % (hexd(pihi), hexd(pi - pihi), hexd(pi * pi / 2)))
