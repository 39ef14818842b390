"""The seeded ChaCha8 generator, checked through a native test program and against a pure-Python
reference (PCG32 key, ChaCha block, draw conversions, ziggurat) written independently here."""

from __future__ import annotations

import math
import random
import struct
from collections import Counter

import pytest

from native_build import native_program, run_native

M32 = (1 << 32) - 1
M64 = (1 << 64) - 1


# ---------------------------------------------------------------- reference implementation


def pcg32_key(seed: int) -> list[int]:
    s = seed
    words = []
    for _ in range(8):
        s = (s * 6364136223846793005 + 11634580027462260723) & M64
        x = (((s >> 18) ^ s) >> 27) & M32
        rot = s >> 59
        words.append(((x >> rot) | (x << (32 - rot))) & M32)
    return words


def _rotl(v: int, n: int) -> int:
    return ((v << n) | (v >> (32 - n))) & M32


def chacha_block(key: list[int], counter: int, stream: int, rounds: int) -> list[int]:
    state = [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574, *key,
             counter & M32, counter >> 32, stream & M32, stream >> 32]
    x = list(state)

    def qr(a, b, c, d):
        x[a] = (x[a] + x[b]) & M32; x[d] = _rotl(x[d] ^ x[a], 16)
        x[c] = (x[c] + x[d]) & M32; x[b] = _rotl(x[b] ^ x[c], 12)
        x[a] = (x[a] + x[b]) & M32; x[d] = _rotl(x[d] ^ x[a], 8)
        x[c] = (x[c] + x[d]) & M32; x[b] = _rotl(x[b] ^ x[c], 7)

    for _ in range(rounds // 2):
        qr(0, 4, 8, 12); qr(1, 5, 9, 13); qr(2, 6, 10, 14); qr(3, 7, 11, 15)
        qr(0, 5, 10, 15); qr(1, 6, 11, 12); qr(2, 7, 8, 13); qr(3, 4, 9, 14)
    return [(a + b) & M32 for a, b in zip(x, state)]


def _f64(bits: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def _bits(v: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", v))[0]


ZIG_R = 3.654152885361009
ZIG_X0 = 3.91075795953709


def ziggurat_tables() -> tuple[list[float], list[float]]:
    x = [0.0] * 257
    x[0], x[1] = ZIG_X0, ZIG_R
    v = ZIG_X0 * math.exp(-ZIG_R * ZIG_R / 2)
    for i in range(1, 255):
        x[i + 1] = math.sqrt(-2 * math.log(v / x[i] + math.exp(-x[i] * x[i] / 2)))
    f = [math.exp(-xi * xi / 2) for xi in x]
    return x, f


ZX, ZF = ziggurat_tables()


class RefGen:
    def __init__(self, seed: int):
        self.key = pcg32_key(seed)
        self.words: list[int] = []
        self.pos = 0
        self.stats: Counter[str] = Counter()

    def u32(self) -> int:
        # The keystream is one long word sequence; blocks are appended as needed.
        while self.pos >= len(self.words):
            self.words += chacha_block(self.key, len(self.words) // 16, 0, 8)
        w = self.words[self.pos]
        self.pos += 1
        return w

    def u64(self) -> int:
        lo = self.u32()
        return lo | (self.u32() << 32)

    def u53(self) -> float:
        return (self.u64() >> 11) * 2.0 ** -53

    def u52(self) -> float:
        return _f64((self.u64() >> 12) | 0x3FF0000000000000) - 1.0

    def o01(self) -> float:
        return _f64((self.u64() >> 12) | 0x3FF0000000000000) - 0.9999999999999999

    def below(self, k: int) -> int:
        bits, draw = (32, self.u32) if k < 1 << 32 else (64, self.u64)
        top = 1 << bits
        p = draw() * k
        hi, lo = p >> bits, p % top
        if lo > top - k:
            self.stats[f"below{bits}_second"] += 1
            if lo + ((draw() * k) >> bits) >= top:
                self.stats[f"below{bits}_carry"] += 1
                hi += 1
        return hi

    def normal(self) -> float:
        while True:
            bits = self.u64()
            i = bits & 0xFF
            u = _f64((bits >> 12) | 0x4000000000000000) - 3.0
            x = u * ZX[i]
            if abs(x) < ZX[i + 1]:
                self.stats["layer"] += 1
                return x
            if i == 0:
                self.stats["tail"] += 1
                while True:
                    a = math.log(self.o01()) / ZIG_R
                    b = math.log(self.o01())
                    if not a * a > -2 * b:
                        break
                    self.stats["tail_retry"] += 1
                return a - ZIG_R if u < 0 else ZIG_R - a
            if ZF[i + 1] + (ZF[i] - ZF[i + 1]) * self.u53() < math.exp(-x * x / 2):
                self.stats["wedge_accept"] += 1
                return x
            self.stats["wedge_reject"] += 1

    def run(self, op: str) -> str:
        name, *arg = op.split()
        if name == "key":
            return " ".join(f"{w:08x}" for w in self.key)
        if name == "u32":
            return f"{self.u32():08x}"
        if name == "u64":
            return f"{self.u64():016x}"
        if name == "below":
            return str(self.below(int(arg[0])))
        value = {"u53": self.u53, "u52": self.u52, "o01": self.o01, "normal": self.normal}[name]()
        return f"{_bits(value):016x}"


# ---------------------------------------------------------------- reference sanity


RFC8439_KEY = [int.from_bytes(bytes(range(4 * i, 4 * i + 4)), "little") for i in range(8)]
RFC8439_BLOCK = [
    0xE4E7F110, 0x15593BD1, 0x1FDD0F50, 0xC47120A3, 0xC7F4D1C7, 0x0368C033, 0x9AAA2204, 0x4E6CD4C3,
    0x466482D2, 0x09AA9F07, 0x05D7C214, 0xA2028BD9, 0xD19C12B5, 0xB94E16DE, 0xE883D0CB, 0x4E3C50A2,
]


def test_reference_chacha_known_vectors():
    # RFC 8439 2.3.2: counter word 1, nonce words 0x09000000, 0x4a000000, 0.
    assert chacha_block(RFC8439_KEY, (0x09000000 << 32) | 1, 0x4A000000, 20) == RFC8439_BLOCK
    # Eight rounds, all-zero key and IV: first 64 keystream bytes of the published ChaCha8 vector.
    zero8 = b"".join(w.to_bytes(4, "little") for w in chacha_block([0] * 8, 0, 0, 8))
    assert zero8.hex() == (
        "3e00ef2f895f40d67f5bb8e81f09a5a12c840ec3ce9a7f3b181be188ef711a1e"
        "984ce172b9216f419f445367456d5619314a42a3da86b001387bfdb80e0cfe42"
    )


@pytest.mark.parametrize("counter,stream", [(0, 0), (0xFFFFFFFF, 0), ((7 << 32) | 3, 0x1122334455667788)])
def test_reference_chacha20_against_library(counter, stream):
    ciphers = pytest.importorskip("cryptography.hazmat.primitives.ciphers")
    algorithms = pytest.importorskip("cryptography.hazmat.primitives.ciphers.algorithms")
    key = [random.Random(counter ^ stream).getrandbits(32) for _ in range(8)]
    # The library's 16-byte nonce is state words 12..15, little-endian.
    nonce = struct.pack("<QQ", counter, stream)
    enc = ciphers.Cipher(algorithms.ChaCha20(struct.pack("<8I", *key), nonce), mode=None).encryptor()
    assert list(struct.unpack("<16I", enc.update(bytes(64)))) == chacha_block(key, counter, stream, 20)


def test_reference_ziggurat_tables():
    assert (ZX[2], ZX[3], ZX[256], ZF[256]) == (3.4492782985609645, 3.320244733839166, 0.0, 1.0)
    assert ZF[0] == pytest.approx(0.000477467764586655, rel=1e-15)


# ---------------------------------------------------------------- native program


@pytest.fixture(scope="module")
def rng_exe():
    return native_program("rng_test")


def replay(exe, seed: int, ops: list[str]) -> list[str]:
    proc = run_native(exe, "replay", str(seed), stdin="\n".join(ops) + "\n")
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert len(lines) == len(ops)
    return lines


def assert_same(ops: list[str], got: list[str], ref: RefGen):
    for n, (op, line) in enumerate(zip(ops, got)):
        want = ref.run(op)
        assert line == want, f"draw {n} ({op}): native {line}, reference {want}"


def test_native_self_checks(rng_exe):
    proc = run_native(rng_exe)
    lines = proc.stdout.splitlines()
    failed = [line for line in lines if line.startswith("FAIL")]
    assert proc.returncode == 0 and not failed and lines and lines[-1].endswith(" 0 failed"), (
        f"exit {proc.returncode}\n{proc.stdout}{proc.stderr}"
    )


@pytest.mark.parametrize("seed", [0, 1, 42, 0xDEADBEEFCAFEBABE, M64])
def test_key_and_keystream(rng_exe, seed):
    ops = ["key"] + ["u32"] * 200
    assert_same(ops, replay(rng_exe, seed, ops), RefGen(seed))


BELOW_KS = [1, 2, 3, 10, 1000, (1 << 31) + 1, (1 << 32) - 1, 1 << 32, (1 << 32) + 1,
            3 * (1 << 40) + 7, 1 << 63, M64 - 1, M64]


@pytest.mark.parametrize("seed", [0, 777])
def test_mixed_draws(rng_exe, seed):
    # A random interleaving of every draw kind, so that refills fall inside u64 and below() draws.
    pick = random.Random(seed)
    kinds = ["u32", "u64", "u53", "u52", "o01", "normal", "below"]
    ops = []
    for _ in range(6000):
        kind = pick.choice(kinds)
        if kind == "below":
            k = pick.choice(BELOW_KS + [pick.randrange(1, 1 << 32), pick.randrange(1 << 32, 1 << 64)])
            kind = f"below {k}"
        ops.append(kind)
    ref = RefGen(seed)
    assert_same(ops, replay(rng_exe, seed, ops), ref)
    for path in ("below32_second", "below32_carry", "below64_second", "below64_carry"):
        assert ref.stats[path] > 0, path


def test_standard_normal_golden(rng_exe):
    ops = ["normal"] * 100000
    ref = RefGen(3)
    assert_same(ops, replay(rng_exe, 3, ops), ref)
    # Every ziggurat branch took part in the comparison.
    for branch in ("layer", "tail", "tail_retry", "wedge_accept", "wedge_reject"):
        assert ref.stats[branch] > 0, branch
