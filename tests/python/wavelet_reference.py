"""The matrix wavelet's integer lifting in plain numpy, step by step as its
definition reads: the reference the library's lifting is held equal to."""
from __future__ import annotations

import math

import numpy as np

SHIFT = 15
ALPHA, BETA, GAMMA, DELTA = (round(c * (1 << SHIFT)) for c in (
    -1.586134342059924, -0.052980118572961, 0.882911075530934, 0.443506852043971))


def _rounded(t, factor):
    return (t * factor + (1 << (SHIFT - 1))) >> SHIFT


def _predict(s, d, factor, sign):
    """d[n] += sign * round(factor (s[n] + s[n+1])), s continued straight past its end."""
    after = np.concatenate([s[1:], [2 * s[-1] - s[-2]] if len(s) > 1 else [s[-1]]])
    d += sign * _rounded(s[:len(d)] + after[:len(d)], factor)


def _update(s, d, factor, sign):
    """s[n] += sign * round(factor (d[n-1] + d[n])), d level past either end."""
    level = np.concatenate([[d[0]], d, [d[-1]]])
    s += sign * _rounded(level[:len(s)] + level[1:len(s) + 1], factor)


def _lift_line(line, inverse):
    n = len(line)
    if n < 2:
        return line
    if inverse:
        line = np.concatenate([line, np.zeros(0, np.int64)])
        y = np.empty_like(line)
        y[0::2], y[1::2] = line[:(n + 1) // 2], line[(n + 1) // 2:]
        s, d = y[0::2].copy(), y[1::2].copy()
        _update(s, d, DELTA, -1), _predict(s, d, GAMMA, -1), _update(s, d, BETA, -1), _predict(s, d, ALPHA, -1)
        y[0::2], y[1::2] = s, d
        return y
    s, d = line[0::2].copy(), line[1::2].copy()
    _predict(s, d, ALPHA, 1), _update(s, d, BETA, 1), _predict(s, d, GAMMA, 1), _update(s, d, DELTA, 1)
    return np.concatenate([s, d])


def _sides(shape, levels):
    out = [shape]
    for _ in range(levels - 1):
        out.append(((out[-1][0] + 1) // 2, (out[-1][1] + 1) // 2))
    return out


def forward(x, levels):
    c = np.array(x, np.int64)
    with np.errstate(over="ignore"):
        for h, w in _sides(c.shape, levels):
            for j in range(w):
                c[:h, j] = _lift_line(c[:h, j], False)
            for i in range(h):
                c[i, :w] = _lift_line(c[i, :w], False)
    return c


def inverse(c, levels):
    x = np.array(c, np.int64)
    with np.errstate(over="ignore"):
        for h, w in reversed(_sides(x.shape, levels)):
            for i in range(h):
                x[i, :w] = _lift_line(x[i, :w], True)
            for j in range(w):
                x[:h, j] = _lift_line(x[:h, j], True)
    return x


def subbands(shape, levels):
    """Every subband, the coarsest first, then each level's details coarse to
    fine: its place, its level and whether it is high-pass along axis 0 and 1."""
    sides = _sides(shape, levels)
    h, w = sides[-1]
    out = [((slice(0, (h + 1) // 2), slice(0, (w + 1) // 2)), levels, 0, 0)]
    for level in range(levels, 0, -1):
        h, w = sides[level - 1]
        hs, ws = (h + 1) // 2, (w + 1) // 2
        out += [((slice(0, hs), slice(ws, w)), level, 0, 1), ((slice(hs, h), slice(0, ws)), level, 1, 0),
                ((slice(hs, h), slice(ws, w)), level, 1, 1)]
    return out


def multipliers(shape, levels, step):
    """Each subband's multiplier at a step (grid units times 2^16): that over
    its synthesis norm, from the energies of lines restored from a
    coefficient of 2^24 in the middle of each band, in integers alone."""
    n = 1 << (levels + 4)
    energy = {}
    for level in range(1, levels + 1):
        for high in (0, 1):
            line = np.zeros((n, 1), np.int64)
            band = n >> level
            line[band + band // 2 if high else band // 2] = 1 << 24
            energy[level, high] = sum(int(v) * int(v) for v in inverse(line, level).reshape(-1))
    return [max(1, min(1 << 40, (step << 32) // math.isqrt(energy[level, h0] * energy[level, h1])))
            for _, level, h0, h1 in subbands(shape, levels)]
