"""Black-box tests: run the built programs in a temporary directory and
compare standard output, standard error, exit status and every file left.

  python3 tests/blackbox --converter CMD [--faulty CMD] [--statinfo CMD] [--reverter CMD]
                         [--faulty-reverter CMD] [--windows --holder CMD] [unittest args]

Commands are command lines with absolute paths ("wine /x/statconv.exe").
--faulty names the converter's build whose I/O calls can be made to fail
(STATCONV_FAULT=call:N); --statinfo, the examining program; --reverter and
--faulty-reverter, statrevert and its fault-injecting build. --windows runs
the Windows programs' cases: lines end in CR LF there, the lock is a sharing
mode (taken by the --holder program), and what only POSIX systems have
(FIFOs, symbolic links, modes, flock, signals) is skipped. Unittest names
select groups or cases: Refusals, StatInfo.test_usage.

Where things are:
  files.py       the tables of files a case starts from and ends with
  harness.py     the options, ConverterTest (running a program, a case in a
                 fresh directory) and the checks every group uses
  conversion.py  Refusals, Conversions, BuiltinListAndArguments,
                 LocksAndFullDisks, Races
  revert.py      statrevert's own cases, mixed into the groups above
  statinfo.py    StatInfo
  faults.py      EveryFault, InjectedFaults, Kills
  crash_states.py  CrashStates: every state a power cut could leave
  windows.py     the cases only Windows has, mixed into Refusals and Conversions
"""
import sys
import unittest
from pathlib import Path

# The package and samples.py are found beside each other, in tests/.
sys.path[0] = str(Path(__file__).resolve().parent.parent)

from blackbox.conversion import (BuiltinListAndArguments, Conversions, LocksAndFullDisks,  # noqa: E402
                                 Races, Refusals)
from blackbox.crash_states import CrashStates  # noqa: E402
from blackbox.faults import EveryFault, InjectedFaults, Kills  # noqa: E402
from blackbox.harness import UNITTEST_ARGS  # noqa: E402
from blackbox.statinfo import StatInfo  # noqa: E402

__all__ = ["Refusals", "Conversions", "BuiltinListAndArguments", "LocksAndFullDisks", "Races", "StatInfo",
           "EveryFault", "InjectedFaults", "Kills", "CrashStates"]

if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + UNITTEST_ARGS, verbosity=2)
