"""Runs the unittest modules named on the command line, leaving out the test
cases listed in the skip file given with --skips (see asan_python_skips.txt),
so that one case the sanitizer cannot host does not drop its whole module.
Exits non-zero when any test fails, or when a listed case no longer exists
(a stale entry would hide nothing and mislead)."""

import argparse
import os
import sys
import unittest


def cases(suite):
    for item in suite:
        if isinstance(item, unittest.TestSuite):
            yield from cases(item)
        else:
            yield item


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--skips", required=True)
    parser.add_argument("modules", nargs="+")
    args = parser.parse_args()
    sys.path.insert(0, os.getcwd())  # the test modules' directory, as python -m unittest has it
    with open(args.skips) as listing:
        skips = {line.strip() for line in listing if line.strip() and not line.startswith("#")}
    suite = unittest.TestSuite()
    found = set()
    for case in cases(unittest.defaultTestLoader.loadTestsFromNames(args.modules)):
        if case.id() in skips:
            found.add(case.id())
        else:
            suite.addTest(case)
    wanted = {s for s in skips if s.split(".")[0] in args.modules}
    if wanted - found:
        print("stale skip entries:", sorted(wanted - found), file=sys.stderr)
        return 2
    print("skipped under the sanitizer:", sorted(found), flush=True)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
