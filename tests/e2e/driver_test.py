#!/usr/bin/env python3
"""Tests of the end-to-end driver's own judgement (e2e.py), on made-up registry trees and
expected.txt files: what it leaves out of the comparison, what it must still report, and which
lines hold for which leg. scripts/e2e.sh runs them before the fixtures."""
import os
import tempfile
import unittest

import e2e

UNINSTALL = e2e.ansi(e2e.UNINSTALL_KEY)
VENDOR = e2e.ansi(e2e.VENDOR_KEY)
PRODUCT = e2e.ansi(e2e.PRODUCT_KEY)
SZ = e2e.REG_SZ


def write(directory, name, text):
    path = os.path.join(directory, name)
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(text)
    return path


class EnvironmentTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        # A fresh 64-bit prefix with wine32: an empty Uninstall key in each view.
        self.baseline = {UNINSTALL: {}, e2e.VIEW64 + UNINSTALL: {}}

    def test_a_key_of_the_prefix_that_the_fixture_does_not_set_is_the_environment(self):
        env = e2e.environment_keys(self.baseline, os.path.join(self.dir, "none.reg"))
        self.assertEqual(env, {UNINSTALL, e2e.VIEW64 + UNINSTALL})

    def test_a_key_that_the_fixture_sets_or_holds_below_it_is_judged(self):
        reg = write(self.dir, "registry.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\" +
                    e2e.UNINSTALL_KEY + "\\Vela Print Server]\r\n\"DisplayName\"=\"Vela\"\r\n")
        env = e2e.environment_keys(self.baseline, reg)
        self.assertEqual(env, {e2e.VIEW64 + UNINSTALL})

    def test_the_judged_tree_leaves_out_only_the_environment(self):
        raw = {UNINSTALL: {}, PRODUCT: {b"Timeout": (4, b"\x1e\0\0\0")}, VENDOR: {},
               UNINSTALL + b"\\Vela": {}}
        tree = e2e.short_tree(raw, frozenset({UNINSTALL}))
        self.assertEqual(set(tree), {b"Vela", b"Uninstall\\Vela"})
        self.assertEqual(set(e2e.short_tree(raw)), {b"Vela", b"Uninstall", b"Uninstall\\Vela"})


class UntouchedTest(unittest.TestCase):
    env = frozenset({UNINSTALL, e2e.VIEW64 + UNINSTALL})
    before = {UNINSTALL: {}, e2e.VIEW64 + UNINSTALL: {}}

    def problems(self, after):
        return e2e.untouched_problems(self.before, after, self.env, "leg")

    def test_a_run_that_writes_only_the_product_key_and_entries_is_fine(self):
        after = dict(self.before)
        after.update({VENDOR: {}, PRODUCT: {b"A": (SZ, b"x\0")}, UNINSTALL + b"\\Vela": {}})
        self.assertEqual(self.problems(after), [])

    def test_a_value_in_a_key_of_the_environment_is_reported(self):
        after = dict(self.before, **{})
        after[UNINSTALL] = {b"Stray": (SZ, b"x\0")}
        found = self.problems(after)
        self.assertEqual(len(found), 1)
        self.assertIn("unexpected value 'Stray'", found[0])

    def test_a_key_of_the_environment_that_went_is_reported(self):
        after = {e2e.VIEW64 + UNINSTALL: {}}
        self.assertIn("removed", " ".join(self.problems(after)))

    def test_a_write_to_the_64_bit_view_is_reported(self):
        after = dict(self.before)
        after[e2e.VIEW64 + PRODUCT] = {}
        self.assertIn("created", " ".join(self.problems(after)))

    def test_the_vendor_key_may_appear_only_empty(self):
        after = dict(self.before)
        after[VENDOR] = {b"Oops": (SZ, b"x\0")}
        self.assertEqual(len(self.problems(after)), 1)
        after[VENDOR] = {}
        self.assertEqual(self.problems(after), [])

    def test_a_sibling_of_the_product_key_is_reported(self):
        after = dict(self.before)
        after[VENDOR + b"\\Other"] = {}
        self.assertEqual(len(self.problems(after)), 1)


class RegdumpTest(unittest.TestCase):
    def test_keys_of_the_64_bit_view_are_named_apart(self):
        directory = tempfile.mkdtemp()
        path = write(directory, "dump.txt", f"K {UNINSTALL.hex()}\nV {b'A'.hex()} 1 7800\n"
                     f"K64 {UNINSTALL.hex()}\n")
        tree = e2e.read_regdump_raw(path)
        self.assertEqual(tree, {UNINSTALL: {b"A": (1, b"x\0")}, e2e.VIEW64 + UNINSTALL: {}})


class ExpectedTest(unittest.TestCase):
    def test_leg_words(self):
        directory = tempfile.mkdtemp()
        path = write(directory, "expected.txt", "[Vela]\nnative \"N\" = dword 1\n"
                     "wine \"W\" = dword 2\nwin32 \"A\" = dword 3\nwow64 \"B\" = dword 4\n"
                     "wine64 \"C\" = dword 5\n")
        names = {leg: set(e2e.parse_expected(path, leg)["registry"][b"Vela"])
                 for leg in e2e.LEGS}
        self.assertEqual(names, {"native": {b"N"}, "wine64": {b"W", b"C"},
                                 "win32": {b"W", b"A"}, "wow64": {b"W", b"B"}})


class CompareTest(unittest.TestCase):
    def result(self, label, value):
        result = e2e.Result(label)
        result.registry = {b"Uninstall\\Vela Print Server": {b"UninstallString": (SZ, value)}}
        return result

    def test_a_known_difference_is_left_out_only_where_it_is_given(self):
        a, b = self.result("native", b"long\0"), self.result("wine64", b"short\0")
        problems = []
        e2e.compare_runs(a, b, problems, (e2e.SHORT_NAMES,))
        self.assertEqual(problems, [])
        e2e.compare_runs(a, b, problems)
        self.assertEqual(len(problems), 1)
        self.assertTrue(problems[0].startswith("native vs wine64: " + e2e.SHORT_NAMES))

    def test_other_differences_stay(self):
        a, b = self.result("native", b"x\0"), self.result("win32", b"x\0")
        b.messages = 1
        problems = []
        e2e.compare_runs(a, b, problems, (e2e.SHORT_NAMES,))
        self.assertEqual(problems, ["native vs win32: 0 and 1 message boxes"])


if __name__ == "__main__":
    unittest.main()
