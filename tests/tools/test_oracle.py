"""Known-answer and format tests of the outside hash oracle (tools/oracle.py)."""

import os
import subprocess
import sys
import unittest

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")
sys.path.insert(0, TOOLS)
import oracle  # noqa: E402

ORACLE = os.path.join(TOOLS, "oracle.py")
P = 0xFFFFFFFF00000001


def felts(text):
    return [int(x, 16) for x in text.replace(",", " ").split()]


def run(args, stdin=""):
    return subprocess.run([sys.executable, ORACLE] + args, input=stdin, capture_output=True,
                          text=True, timeout=60)


ZERO_HASH = ("8e64e3d8e0f38f882e8501f9e525df0a95d2e91e9cfc32c9248d756fb07780e2"
             "f8fdca2c5a54441e6fcd8d774a5f6aae72f36d1c76bc19f691a0d4f6c607e8cc")
COUNT_HASH = ("d62469ea919158c8f2e1b61fc11cff199303ae775db05348700fab378f45e7c5"
              "3245b0c3bf29671a3c5dd61dc3d4a7b38dfed0e4f8be9ac16700067cc2eb1f9b")
FF_HASH = ("3bd1309fa508ed7e1c05f84c5f795142770ce0e01323646a559e5626aa5efcfa"
           "62f5b5d469df94aae3949ab30176c208d3c156d6af0de95287ca68b188c56985")
COUNT = bytes(range(64))  # bytes 00, 01, ..., 3f


class PermutationTest(unittest.TestCase):
    def test_layers(self):
        e0 = [1] + [0] * 11
        self.assertEqual(oracle.external_layer(e0), [4, 2, 2, 6, 2, 1, 1, 3, 2, 1, 1, 3])
        self.assertEqual(oracle.external_layer(list(range(12))),
                         [116, 128, 140, 120, 144, 156, 168, 148, 172, 184, 196, 176])
        self.assertEqual(oracle.internal_layer(e0), [oracle.MAT_DIAG[0] + 1] + [1] * 11)
        # The nonce direction moves only lanes 3 and 7 after the external layer.
        d = [17, -11, 3, -4, -17, 11, -3, 4]
        self.assertEqual(oracle.external_layer([x % P for x in d] + [0] * 4),
                         [0, 0, 0, 35, 0, 0, 0, P - 35, 0, 0, 0, 0])

    def test_vectors(self):
        self.assertEqual(oracle.permute([0] * 12), felts(
            "c9bc9432e1686884 03ecbab0dcdd2189 5e7ac885b3dc1215 6ac07513801d191f ca5c593fb184dcfc"
            " 414dec5f3e455287 1a17df170127ae41 e7e592bd0af9b0a5 c71a9b27edc66a4c 2728671759ac43c2"
            " b9969c20f7f672f9 c5140b586823b92f"))
        counting = felts(
            "3c255c29c0029764 3c48ad460707bcbb ed87631c58a59fc8 3b5922b5cf78a93e 0996bcad4c1b17dc"
            " 4c69032fa5763dde 2a22052ca28059ae aac048bf637d0e44 b6ac092db0a4726f 27208f2c604c179f"
            " 2275c76e2b994314 9dd6a3e90b5b02d0")
        self.assertEqual(oracle.permute(list(range(12))), counting)
        # Any representative of a lane permutes the same.
        self.assertEqual(oracle.permute([i + P if i % 5 == 0 else i for i in range(12)]), counting)

    def test_vectors_catch_a_wrong_constant(self):
        saved = oracle.INTERNAL_RC[21]
        oracle.INTERNAL_RC[21] ^= 1
        try:
            self.assertNotEqual(oracle.hash_full(bytes(32), bytes(64)).hex(), ZERO_HASH)
        finally:
            oracle.INTERNAL_RC[21] = saved


class HashTest(unittest.TestCase):
    def test_hash_vectors(self):
        self.assertEqual(oracle.hash_full(bytes(32), bytes(64)).hex(), ZERO_HASH)
        self.assertEqual(oracle.hash_full(COUNT[:32], COUNT).hex(), COUNT_HASH)
        self.assertEqual(oracle.hash_full(b"\xff" * 32, b"\xff" * 64).hex(), FF_HASH)
        # Block order matters: header and nonce prefix swapped.
        swapped = COUNT[32:64] + COUNT[:32] + COUNT[32:64]
        self.assertNotEqual(oracle.hash_full(swapped[:32], swapped[32:]).hex(), COUNT_HASH)

    def test_midstate_vectors_and_tail(self):
        self.assertEqual(oracle.midstate(bytes(32), bytes(32)), felts(
            "8646d336b5a0fccd, 818ca59548916345, 49475e8bc9c928bc, c469163bcdc4900b,"
            " e4421fafacd59087, 633f49b998698d66, 4a9067e3883e76da, 193039e85ea14472,"
            " 203d2d3ee6a8eba8, ef5b9ce39bcff072, c16a3c8dd5680003, d77c52ab5bf7cf1f"))
        mid = oracle.midstate(COUNT[:32], COUNT[:32])
        self.assertEqual(mid, felts(
            "a88bfe017fb95064, 501a88fbcce1063d, 60d53936b360cd85, f48b58cf82a74e7e,"
            " 2dd2e5ebef8f7919, 52829e5383c7f527, 97af3777d296e4de, 007934bcbf29cc8a,"
            " bbc6c253e22388f9, 5d41a07e9a421d11, aeee3de4135b5e1e, 55b1a4122f0788fa"))
        self.assertEqual(oracle.tail(mid, COUNT[32:64]).hex(), COUNT_HASH)


class TargetAndNonceTest(unittest.TestCase):
    def test_targets(self):
        cases = {
            1: "ff" * 64, 2: "7f" + "ff" * 63, 3: "55" * 64, 256: "00" + "ff" * 63,
            2 ** 32: "00" * 4 + "ff" * 60, 2 ** 63: "00" * 7 + "01" + "ff" * 56,
            3 * 2 ** 62: "00" * 7 + "01" + "55" * 56, 2 ** 64 - 1: "0000000000000001" * 8,
        }
        for d, want in cases.items():
            self.assertEqual(oracle.target_from_difficulty(d).hex(), want, d)

    def test_direction_layout(self):
        self.assertEqual(oracle.dir_low(0, 0, 7, 3).hex(), "00000040" * 8)
        self.assertEqual(oracle.dir_low(0x123456789ABCDEF0, 5, 4, 256).hex(),
                         "55000040b9de3c4079e2194031230140abffff3f37000040f1ffff3f14000040")
        # A whole span moves to the next group at offset 0, also across the 64-bit wrap.
        self.assertEqual(oracle.dir_low(41, 1024, 4, 256), oracle.dir_low(42, 0, 4, 256))
        self.assertEqual(oracle.dir_low(2 ** 64 - 1, 512, 512, 1), oracle.dir_low(0, 0, 1, 1))


class CommandLineTest(unittest.TestCase):
    HDR = COUNT[:32].hex()

    def test_hash_command(self):
        lines = "\n".join([
            "%s %s trailing words" % ("00" * 32, "00" * 64), "", "only-one-field",
            "%s %s" % (self.HDR.upper(), COUNT.hex().upper())]) + "\n"
        out = run(["hash"], lines)
        self.assertEqual((out.returncode, out.stdout.split()), (0, [ZERO_HASH, COUNT_HASH]))
        out = run(["hash", "--echo"], "%s %s\n" % (self.HDR, COUNT.hex()))
        self.assertEqual(out.stdout.split(), [self.HDR, COUNT.hex(), COUNT_HASH])
        out = run(["hash"], "%s %s\n" % (self.HDR[:-2], COUNT.hex()))
        self.assertEqual((out.returncode, out.stdout), (2, ""))
        self.assertIn("header", out.stderr)

    def test_check_and_target(self):
        # The zero vector's hash starts with 0x8e: below the target of 1, not below that of 2.
        self.assertEqual(run(["check", "00" * 32, "00" * 64, "1"]).returncode, 0)
        self.assertEqual(run(["check", "00" * 32, "00" * 64, "2"]).returncode, 1)
        self.assertEqual(run(["check", "00" * 32, "00" * 64, "0"]).returncode, 2)
        self.assertEqual(run(["target", "256"]).stdout.strip(), "00" + "ff" * 63)

    def test_minev_input(self):
        start = COUNT[:60] + b"\xff\xff\xff\xfe"  # the counter wraps between indices 1 and 2
        out = run(["minev", self.HDR, start.hex(), "--indices", "5,0,5", "--range", "1", "3",
                   "--corrupt-index", "0"])
        self.assertEqual(out.returncode, 0, out.stderr)
        lines = out.stdout.splitlines()
        head = lines[0].split()
        self.assertEqual(head[0], "MIDSTATE")
        self.assertEqual([int(x, 16) for x in head[1:]], oracle.midstate(COUNT[:32], start[:32]))
        self.assertTrue(all(len(x) == 16 for x in head[1:]))
        counters = {5: 3, 0: 0xFFFFFFFE, 1: 0xFFFFFFFF, 2: 0}
        got = [line.split() for line in lines[1:]]
        self.assertEqual([int(i) for i, _ in got], [5, 0, 5, 1, 2])
        for i, digest in got:
            nonce = COUNT[:60] + counters[int(i)].to_bytes(4, "big")
            want = oracle.hash_full(COUNT[:32], nonce).hex()
            if i == "0":  # the injected fault: well-formed, wrong in the last digit only
                self.assertNotEqual(digest, want)
                self.assertEqual(digest[:-1], want[:-1])
            else:
                self.assertEqual(digest, want)

    def test_minev_rejects_bad_input(self):
        for args in (["minev", self.HDR, "00" * 63, "--range", "0", "2"],
                     ["minev", self.HDR, "00" * 64],
                     ["minev", self.HDR, "00" * 64, "--indices", "4294967296"]):
            out = run(args)
            self.assertEqual((out.returncode, out.stdout), (2, ""), args)


if __name__ == "__main__":
    unittest.main()
