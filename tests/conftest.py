import subprocess
import sys
import textwrap
import threading

import pytest

FREE_THREADED = not getattr(sys, "_is_gil_enabled", lambda: True)()


def pytest_configure(config):
    # Also registered by pytest-run-parallel, which only the free-threaded venv has.
    config.addinivalue_line("markers", "thread_unsafe(reason): not run in parallel threads")
    config.addinivalue_line(
        "markers", "no_refleak(reason): run once under the leak hunt (make refleak), not in its loop")
    config.addinivalue_line(
        "markers", "tsan: threads sharing objects or data; run under ThreadSanitizer by tools/tsan.sh")


def h(text):
    """Bytes from hex written with spaces, as wire bytes are in the tests."""
    return bytes.fromhex(text)


def run_threads(n, target, *args):
    """Runs target(i, *args) in n threads released together; re-raises the first failure."""
    barrier = threading.Barrier(n)
    errors = []

    def body(i):
        try:
            barrier.wait()
            target(i, *args)
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def run_child(code, *args, timeout=120):
    """Runs `code` in a fresh interpreter and returns its stdout, so that a crash fails
    the calling test instead of the run. Extra args land in the child's sys.argv[1:]."""
    proc = subprocess.run([sys.executable, "-P", "-X", "faulthandler", "-c", textwrap.dedent(code),
                           *map(str, args)],
                          capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, (
        f"child exited with {proc.returncode}\n--- stdout\n{proc.stdout[-2000:]}"
        f"\n--- stderr\n{proc.stderr[-4000:]}")
    return proc.stdout


@pytest.fixture
def bench_docs():
    import json
    import pathlib

    # The repository ships them: a missing one fails the test rather than skipping it.
    root = pathlib.Path(__file__).resolve().parents[1] / "bench" / "data"
    return {
        name: json.loads((root / f"{name}.json").read_text(encoding="utf-8"))
        for name in ("canada", "citm_catalog", "twitter")
    }
