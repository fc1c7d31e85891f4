"""The measurement behind every leak check. On a release interpreter it counts the memory blocks
that many calls keep; on a debug interpreter (one with sys.gettotalrefcount) it uses CPython's own
method for reference leaks instead: rounds of calls, and a leak wherever every round leaves the
interpreter's total reference count higher than the round before."""

import gc
import os
import sys

DEBUG_BUILD = hasattr(sys, "gettotalrefcount")
# Under Wine every file operation takes milliseconds, and tools/windows.sh caps the calls of each
# check there (KESTROW_LEAK_CALLS_MAX=1000): a leak of one block per call still shows, since no
# check tolerates as many blocks as it makes calls (check_no_leak makes sure).
CALLS_MAX = int(os.environ.get("KESTROW_LEAK_CALLS_MAX") or 0)


def leak_calls(times):
    """The number of calls a check of `times` calls makes here."""
    return min(times, CALLS_MAX) if CALLS_MAX else times


def reference_deltas(call, times, rounds=4):
    """The change of sys.gettotalrefcount() over each of `rounds` rounds of `times` calls, after
    one round to warm up. Every value is measured at the same point, so the bookkeeping here
    cancels out: a leak-free call gives 0."""
    deltas = [0] * rounds
    before = 0
    for i in range(-1, rounds):
        for _ in range(times):
            call()
        gc.collect()
        after = sys.gettotalrefcount()
        if i >= 0:
            deltas[i] = after - before
        before = after
    return deltas


def check_no_leak(call, times, tolerance):
    """Release build: `times` calls, after a warm-up, keep fewer than `tolerance` memory blocks.
    Debug build: rounds of about times/200 calls must not all leave references behind."""
    times = leak_calls(times)
    assert tolerance < times, f"{times} calls cannot show a leak of one block per call past {tolerance}"
    if DEBUG_BUILD:
        per_round = max(5, times // 200)
        deltas = reference_deltas(call, per_round)
        assert not all(d > 0 for d in deltas), f"references leaked in rounds of {per_round} calls: {deltas}"
        return
    for _ in range(min(times // 10, 1000)):  # caches and free lists settle first
        call()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(times):
        call()
    gc.collect()
    grown = sys.getallocatedblocks() - before
    assert grown < tolerance, f"{grown} blocks kept after {times} calls"
