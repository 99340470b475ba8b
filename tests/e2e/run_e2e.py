#!/usr/bin/env python3
"""End-to-end suite: the real program on a real (virtual) desktop, driven from outside.

    run_e2e.py --binary build/tessivar --out build/e2e [--only NAME ...] [--strict] [--keep]

Prints one line per scenario (PASS, SKIP or FAIL with the reason) and a closing line
"N passed, N failed". Exits 1 on any failure; with --strict a skip counts as a failure.
"""

import argparse
import os
import signal
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import desktop as desktop_module  # noqa: E402


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--out", required=True, help="folder for screenshots and logs")
    parser.add_argument("--only", nargs="*", default=None, help="scenario names to run")
    parser.add_argument("--strict", action="store_true", help="a skip is a failure")
    parser.add_argument("--keep", action="store_true", help="keep the task folders")
    return parser.parse_args(argv)


def run_scenarios(suite, names, strict):
    import scenarios
    passed = failed = skipped = 0
    for name, scenario in scenarios.SCENARIOS:
        if names and name not in names:
            continue
        started = time.monotonic()
        ok = False
        try:
            note = scenario(suite)
            verdict, ok = f"PASS {name}: {note}", True
            passed += 1
        except scenarios.Skip as skip:
            if strict:
                verdict = f"FAIL {name}: (skip in strict mode) {skip}"
                failed += 1
            else:
                verdict, ok = f"SKIP {name}: {skip}", True
                skipped += 1
        except scenarios.Fail as failure:
            verdict = f"FAIL {name}: {failure}"
            failed += 1
        except Exception as error:  # the suite's own fault, or a desktop tool failing
            verdict = f"FAIL {name}: {type(error).__name__}: {error}"
            traceback.print_exc(file=sys.stderr)
            failed += 1
        finally:
            suite.finish_scenario(ok)
        print(f"{verdict} ({time.monotonic() - started:.1f} s)", flush=True)
    return passed, failed, skipped


def main(argv):
    arguments = parse_arguments(argv)
    binary = os.path.abspath(arguments.binary)
    out_dir = os.path.abspath(arguments.out)
    if not os.access(binary, os.X_OK):
        print(f"FAIL setup: no program at {binary}")
        print("0 passed, 1 failed")
        return 1
    os.makedirs(out_dir, exist_ok=True)
    desktop_module.ensure_session_bus([os.path.abspath(__file__)] + argv)

    import a11y
    if not a11y.available():
        print("FAIL setup: pyatspi is missing (package python3-pyatspi)")
        print("0 passed, 1 failed")
        return 1
    import scenarios

    # A timeout of the test runner ends us with SIGTERM: tear the desktop down all the same.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    desktop = desktop_module.Desktop(out_dir)
    suite = scenarios.Suite(desktop, binary, out_dir, arguments.keep)
    started = time.monotonic()
    try:
        desktop.start()
        print(f"desktop {desktop.display} up in {time.monotonic() - started:.1f} s", flush=True)
        passed, failed, skipped = run_scenarios(suite, arguments.only, arguments.strict)
    except desktop_module.DesktopError as error:
        print(f"FAIL setup: {error}")
        passed, failed, skipped = 0, 1, 0
    finally:
        suite.finish_scenario(False)
        desktop.stop()
    print(f"{passed} passed, {failed} failed" + (f", {skipped} skipped" if skipped else "") +
          f" in {time.monotonic() - started:.0f} s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
