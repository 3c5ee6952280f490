"""Regressions found in review of the protocol-2 codec."""
import json
import textwrap

import pytest

import zelvane
from codec_util import UNSUPPORTED, encoded, exactly
from conftest import RawSlot, run_python


def test_uuid_class_put_in_place_of_the_library_one_is_called(shm_name):
    # Decoding builds plain UUIDs without calling the class; a class that
    # replaces uuid.UUID before import must still be called for every UUID.
    name = shm_name("uuidsub")
    code = textwrap.dedent(f"""
        import json, uuid
        class UUID(uuid.UUID):  # named so that the encoder takes it as a UUID
            def __init__(self, *args, **kwargs):
                super().__init__(*args, **kwargs)
                object.__setattr__(self, "tag", "made")
        uuid.UUID = UUID
        import zelvane
        value = UUID("12345678123456781234567812345678")
        tags = []
        for _ in range(3):
            zelvane.write_memory({name!r}, value)
            back = zelvane.read_memory({name!r})
            tags.append([type(back).__name__, getattr(back, "tag", None), str(back)])
        zelvane.remove_memory({name!r})
        print(json.dumps(tags))
    """)
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    expected = ["UUID", "made", "12345678-1234-5678-1234-567812345678"]
    assert json.loads(result.stdout) == [expected] * 3


class dict_raising_len(dict):
    def __len__(self):
        raise KeyError("len")


class dict_huge_len(dict):
    def __len__(self):
        return 2 ** 62


class set_raising_len(set):
    def __len__(self):
        raise KeyError("len")


@pytest.mark.parametrize("value, plain", [
    (dict_raising_len(a=1), {"a": 1}),
    (dict_huge_len(a=1), {"a": 1}),
    (set_raising_len({3}), {3}),
])
def test_sizing_the_output_runs_no_len_of_a_subclass(shm_name, value, plain):
    # The encoding follows the stored items; a __len__ that raises must not
    # leave its exception behind a successful write.
    name = shm_name("len")
    assert encoded(name, value) == encoded(name, plain)
    assert zelvane.read_memory(name) == plain


class int_odd_invert(int):
    def __invert__(self):
        return 0


@pytest.mark.parametrize("number", [-2 ** 70, -2 ** 2100, -(2 ** 64) - 5])
def test_a_large_negative_int_subclass_is_sized_without_its_invert(shm_name, number):
    name = shm_name("inv")
    assert encoded(name, int_odd_invert(number)) == encoded(name, number)
    assert zelvane.read_memory(name) == number


def test_a_date_like_class_renamed_by_its_isoformat_is_refused(shm_name):
    # The type's name is matched before isoformat() runs: renaming the class
    # there frees the text that the name pointed to.
    def isoformat(self):
        type(self).__name__ = type(self).__qualname__ = "renamed"
        return "2024-01-31"

    # A fresh text of the very name of the date type, which only the class holds.
    value = type("".join(["datetime", ".date"]), (), {"isoformat": isoformat})()
    with pytest.raises(ValueError, match=exactly(UNSUPPORTED)):
        zelvane.write_memory(shm_name("ren"), value)
    assert type(value).__name__ == "renamed"


@pytest.mark.parametrize("payload", [
    b"\xfd" + b"\x1d\x01" * 200_000 + b"\x10",
    b"\xfd" + b"\x44" * 400_000 + b"\x00",
    b"\xfe" + b"\x1a\x01" * 200_000 + b"\x0f",
], ids=["lists", "named-tuples", "protocol-1"])
def test_hostile_nesting_stops_before_the_stack_under_a_raised_recursion_limit(shm_name, payload):
    # Before 3.12 the interpreter's recursion check follows the program's
    # recursion limit; a reader that raised it was crashed by deep nesting.
    name = shm_name("deep")
    zelvane.create_memory(name, len(payload))
    RawSlot(name).write_payload(payload)
    result = run_python(textwrap.dedent(f"""
        import sys
        import zelvane
        sys.setrecursionlimit(10 ** 6)
        try:
            zelvane.read_memory({name!r})
        except RecursionError as error:
            print(error)
    """))
    assert result.returncode == 0, result.stderr
    assert result.stdout == "maximum recursion depth exceeded while decoding a value\n"
