#!/usr/bin/env python3
"""End-to-end tests: run the real tunewright program, natively or under an emulator (wine for
the Windows build), each case in a scratch directory of its own, and check the exit status,
the exact output and every file left on disk. The cases are the test_*.py files of this folder,
one a concern; runner.py holds what they share.

    run.py --program build/release/tunewright [--exec-prefix wine] [--cases quick|long]
           [--keep] [-k PATTERN] [-f] [CASE...]

--cases long runs only the slow cases (many files, repeated rounds), quick all the others;
--keep leaves the scratch directory of a case that fails, and names it; CASE names a file, a
class or a case (test_banks, test_banks.Banks.test_...).
"""

import sys

import runner

if __name__ == "__main__":
    sys.exit(runner.main())
