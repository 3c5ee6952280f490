"""The soaks' detectors must see the faults they exist to count: a value
changed after it was written, a leaked reference or object, an operation
held up past a kill. (The soaks themselves run from soak/smoke.py.)"""
import collections
import os
import random
import subprocess
import sys
import time
import uuid

import pytest
import zelvane

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "soak"))

import _board  # noqa: E402
import concurrency_soak  # noqa: E402
import crash_soak  # noqa: E402
import leak_soak  # noqa: E402
from _common import (Changing, changed_reply_fault, check_value, is_decoder_error, make_value,  # noqa: E402
                     remove_names, shm_path)
from conftest import RawSlot  # noqa: E402


@pytest.mark.parametrize("seq", [4, 5, 6, 7])  # one of each payload kind
def test_checksummed_values_survive_a_slot_and_tampering_is_seen(shm_name, seq):
    name = shm_name("soak")
    value = make_value("w1", seq, 300, random.Random(seq))
    zelvane.write_memory(name, value)
    back = zelvane.read_memory(name)
    assert check_value(back) == ("w1", seq)

    writer, number, payload, crc = back
    if isinstance(payload, dict):
        changed = dict(payload, n=payload["n"] + 1)
    elif isinstance(payload, list):
        changed = payload[:-1] + [payload[-1] + 1]
    elif isinstance(payload, str):
        changed = payload[:-1] + ("b" if payload[-1] != "b" else "c")
    else:
        changed = payload[:-1] + bytes([payload[-1] ^ 1])
    for forged in [(writer, number, changed, crc), (writer, number + 1, payload, crc),
                   ("w2", number, payload, crc), (writer, number, payload), [writer, number, payload, crc],
                   None]:
        assert check_value(forged) is None


def test_changing_values_stay_whole_and_a_torn_or_foreign_reply_is_seen():
    changing = Changing(random.Random(3), 50)
    head = ("fn", "c1", 9)
    for number in range(30):
        changing.change_one()
        sent = changing.pick(number)
        whole = (*head, type(sent)(sent), changing.pick(number + 1))
        assert changed_reply_fault(whole, head, sent) is None
    ints, blob, texts = [5, 6, 7], bytearray(b"kk"), ["qqq"]
    assert changed_reply_fault((*head, [], bytearray()), head, ints) is None  # caught between clear and refill
    torn = [((*head, [5, 7], blob), ints), ((*head, ints, bytearray(b"kq")), ints),
            ((*head, ["qqr"], ints), texts), ((*head, ["q", "q"], ints), texts), ((*head, [""], ints), texts),
            ((*head, ints, ints), blob), ((*head, ints, "qqq"), ints)]
    for reply, sent in torn:
        assert changed_reply_fault(reply, head, sent) == "torn", reply
    for reply in [("fn", "c1", 8, ints, ints), ("fn", "c2", 9, ints, ints), (*head, ints), None]:
        assert changed_reply_fault(reply, head, ints) == "misdelivered", reply


def test_a_write_cut_short_reads_as_a_decoder_error_the_soak_allows(shm_name):
    name = shm_name("soak")
    zelvane.write_memory(name, make_value("w1", 4, 100, random.Random(1)))
    raw = RawSlot(name)
    # What a writer killed in the middle of its copy leaves: payload byte 0 cleared.
    raw.write_payload(b"\0" + raw.payload()[1:])
    with pytest.raises(ValueError) as caught:
        zelvane.read_memory(name)
    assert is_decoder_error(caught.value)
    assert not is_decoder_error(MemoryError("Failed to open shared memory address 'x'."))


def test_leak_figures_flag_a_held_reference_and_held_objects():
    classes = leak_soak.cached_classes()
    tolerances = {"fds": leak_soak.FD_TOLERANCE, "maps": 1 << 30, "rss_kb": 1 << 30,
                  "traced": leak_soak.TRACED_TOLERANCE, "gc_objects": leak_soak.GC_TOLERANCE, "refcount": 0}
    leak_soak.tracemalloc.start()
    try:
        before = leak_soak.figures(classes)
        assert leak_soak.growth_faults(before, leak_soak.figures(classes), tolerances) == []
        held = [uuid.UUID] + [[i] for i in range(2000)] + [bytes(64 << 10)]
        descriptors = [os.open("/dev/null", os.O_RDONLY) for _ in range(leak_soak.FD_TOLERANCE + 1)]
        try:
            faults = leak_soak.growth_faults(before, leak_soak.figures(classes), tolerances)
        finally:
            for fd in descriptors:
                os.close(fd)
    finally:
        leak_soak.tracemalloc.stop()
    assert len(held) == 2002
    assert any(fault.startswith("fds") for fault in faults)
    assert any("uuid.UUID" in fault for fault in faults)
    assert any(fault.startswith("gc_objects") for fault in faults)
    assert any(fault.startswith("traced") for fault in faults)


def test_hostile_inputs_fail_cleanly_and_are_counted(shm_name):
    codec = leak_soak.SlotCodec(shm_name("soak"), shm_name("hostile"))
    try:
        encodings = [leak_soak._encoded_bytes(codec)(v) for v in leak_soak.sample_values()[:20]]
        tally = collections.Counter()
        tally["examples"] = []
        leak_soak.run_hostile(codec.decode_raw, leak_soak.HostileInputs(encodings, 3), 300, tally)
    finally:
        codec.close()
    errors = sum(n for key, n in tally.items() if key.endswith("Error"))
    assert tally["forbidden"] == 0
    assert tally["failed"] == errors >= 100
    assert tally["failed"] == 300 or tally["failed"] + tally["decoded"] == 900


def test_progress_measures_how_long_an_operation_ran_past_the_kill(tmp_path):
    board = _board.Board(str(tmp_path / "board"), cells=2)
    progress = _board.Progress(board, 1)
    now = time.monotonic()
    progress.finished(now - 5, now - 4)  # before any kill: not counted
    assert board.get(1, _board.MAX_WAIT) == 0.0
    board.announce_kill(1, now)
    progress.finished(now - 1, now + 0.75)  # under way at the kill
    progress.finished(now + 1, now + 1.25)  # begun after it
    assert board.get(1, _board.CELL_EPOCH) == 1
    assert board.get(1, _board.MAX_WAIT) == pytest.approx(0.75)
    assert board.get(1, _board.AFTER) == 1
    assert board.get(1, _board.OPS) == 3
    board.announce_kill(2, now + 2)  # a new kill starts the figures afresh
    progress.finished(now + 2.5, now + 2.6)
    assert board.get(1, _board.MAX_WAIT) == pytest.approx(0.1)
    assert board.get(1, _board.AFTER) == 1
    assert board.get(0, _board.OPS) == 0
    board.close()


def crash_soak_for(tmp_path, monkeypatch):
    monkeypatch.setattr(crash_soak.tempfile, "mkdtemp", lambda prefix: str(tmp_path))
    args = crash_soak.parse_args(["--rounds", "0", "--slots", "1", "--functions", "1"])
    args.seed = 1
    return crash_soak.CrashSoak(args)


@pytest.mark.parametrize("plant", ["stray name", "short slot", "short record", "foreign value"])
def test_crash_soak_flags_what_should_not_be_there(tmp_path, monkeypatch, plant):
    soak = crash_soak_for(tmp_path, monkeypatch)
    try:
        slot, function = soak.slots[0], soak.functions[0]
        zelvane.write_memory(slot, make_value("w0", 1, 50, random.Random(2)))
        with open(shm_path(function), "wb") as f:
            f.truncate(crash_soak.FUNCTION_RECORD_SIZE)
        soak.check_names()  # all whole
        if plant == "stray name":
            zelvane.write_memory(soak.prefix + "other", 1)
        elif plant == "short slot":
            with open(shm_path(slot), "r+b") as f:
                f.truncate(20)
        elif plant == "short record":
            with open(shm_path(function), "r+b") as f:
                f.truncate(crash_soak.FUNCTION_RECORD_SIZE - 8)
        else:
            zelvane.write_memory(slot, ("w0", 1, b"x", 0))
        with pytest.raises(crash_soak.Fault):
            soak.check_names()
    finally:
        remove_names(soak.prefix)
        soak.board.close()


@pytest.mark.parametrize("text, reported", [
    ("[w3] write to x: MemoryError()", False),
    ("zelvane.cpp:120:5: runtime error: load of misaligned address", True),
    ("==77==ERROR: AddressSanitizer: heap-buffer-overflow", True),
])
def test_crash_soak_counts_a_sanitizer_report_in_a_childs_log(tmp_path, monkeypatch, text, reported):
    soak = crash_soak_for(tmp_path, monkeypatch)
    try:
        (tmp_path / "writer3.log").write_text(text)
        if reported:
            with pytest.raises(crash_soak.Fault, match="sanitizer"):
                soak.check_logs()
        else:
            soak.check_logs()
    finally:
        soak.board.close()


class FakeChild:
    def __init__(self, board):
        self.board, self.cell, self.complaints = board, 0, []

    def complain(self, what):
        self.complaints.append(what)


@pytest.mark.parametrize("error, counted", [
    (RuntimeError("Nobody serves the function 'f1' any more: its serving process has ended."), "gone"),
    (RuntimeError("The reply to this call of 'f1' was lost: another caller took over the exchange."), "lost"),
    (MemoryError("Failed to open the shared memory."), "clean_errors"),
    (RuntimeError("Nobody serves the function 'f2' any more: its serving process has ended."), None),
    (RuntimeError("something went wrong"), None),
    (ValueError("Likely received an invalid bytes object: invalid protocol marker."), None),
])
def test_crash_soak_takes_only_clear_errors_naming_the_function(tmp_path, error, counted):
    board = _board.Board(str(tmp_path / "board"), cells=1)
    child = FakeChild(board)
    crash_soak.classify_call_error(child, "f1", error)
    counts = {key: n for key, n in board.counters(0).items() if n}
    assert counts == ({counted: 1} if counted else {})
    assert len(child.complaints) == (0 if counted else 1)
    board.close()


def test_crash_soak_buries_a_killed_server_and_checks_a_dead_churners_leftovers(
        tmp_path, monkeypatch, serve):
    soak = crash_soak_for(tmp_path, monkeypatch)
    try:
        function = soak.functions[0]
        server = serve("lambda *args: args", name=function)
        server.kill()
        soak.bury_server(function)  # the call on the dead record named the function
        assert not os.path.exists(shm_path(function))

        leftovers = f"{soak.prefix}churn7_"
        zelvane.create_memory(leftovers + "1", 64)  # made, never written: whole
        soak.bury_churner_leftovers(7)
        assert not os.path.exists(shm_path(leftovers + "1"))
        with open(shm_path(leftovers + "3"), "wb") as f:
            f.truncate(10)  # what a creator killed mid-way must never leave
        with pytest.raises(crash_soak.Fault, match="half-made"):
            soak.bury_churner_leftovers(7)
    finally:
        remove_names(soak.prefix)
        soak.board.close()


@pytest.mark.parametrize("code, fault", [
    ("import sys; sys.exit(3)", "crash"),
    ("print('no counts')", "crash"),
    ("import time; time.sleep(120)", "hang"),
])
def test_concurrency_soak_counts_a_child_that_fails_or_hangs(code, fault):
    # Only the hang needs a short deadline: a child that ends is given the
    # time a loaded machine may take to start an interpreter.
    wait = 2 if fault == "hang" else 60
    soak = concurrency_soak.Soak(concurrency_soak.parse_args(["--timeout", str(wait)]))
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    soak.procs.append(("caller", child))
    try:
        with pytest.raises(concurrency_soak.Fault, match=fault):
            soak.collect("caller", child, time.monotonic() + wait)
    finally:
        soak.kill_all()
