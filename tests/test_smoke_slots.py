import pytest

import zelvane

from codec_util import decode, encoded


@pytest.mark.parametrize("value, expected", [
    ("", "fd00"),
    ("abc", "fd0103616263"),
    (0, "fd0500"),
    (-129, "fd067fff"),
    (2**39, "fd0a06" + "0000000080" + "00"),
    (None, "fd10"),
])
def test_scalar_bytes(shm_name, value, expected):
    assert encoded(shm_name("b"), value).hex() == expected


def test_trailing_bytes_ignored(shm_name):
    assert decode(shm_name("d"), bytes.fromhex("fd10ffff")) is None
