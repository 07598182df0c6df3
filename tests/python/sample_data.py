"""Generated inputs shared by the package's tests."""
import math
import random


def signal(n, seed=1):
    """An 8-bit sine with a little noise: what zelk chunks are made for."""
    rng = random.Random(seed)
    return bytes(int(128 + 90 * math.sin(i / 30) + rng.randint(-3, 3)) & 0xFF for i in range(n))


TEXT = b"".join(b"%d: the quick brown fox jumps over the lazy dog\n" % i for i in range(20_000))
