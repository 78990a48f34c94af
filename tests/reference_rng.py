"""A plain-Python xoshiro256++ with SplitMix64 seeding: the reference model the
tests compare the detectors' generator states and draws against."""

M64 = (1 << 64) - 1


def rotl(x, k):
    return ((x << k) | (x >> (64 - k))) & M64


def expand_seed(x):
    """The four SplitMix64 outputs that start at x."""
    words = []
    for i in range(4):
        z = (x + (i + 1) * 0x9E3779B97F4A7C15) & M64
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & M64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M64
        words.append(z ^ (z >> 31))
    return words


class Xoshiro:
    def __init__(self, words):
        self.s = list(words)

    @classmethod
    def seeded(cls, seed):
        return cls(expand_seed(seed))

    def next_word(self):
        s = self.s
        result = (rotl((s[0] + s[3]) & M64, 23) + s[0]) & M64
        t = (s[1] << 17) & M64
        s[2] ^= s[0]
        s[3] ^= s[1]
        s[1] ^= s[2]
        s[0] ^= s[3]
        s[2] ^= t
        s[3] = rotl(s[3], 45)
        return result

    def next_unit(self):
        return (self.next_word() >> 11) * 2.0**-53
