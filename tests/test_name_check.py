"""What another process does to a name this process keeps mapped is seen by
the next access: removal, re-creation, growth and a rename over the name,
for value slots and function records alike, small objects and large ones."""
import os
import textwrap

import pytest

import zelvane

from conftest import CHILD_PRELUDE, run_python, shm_path
from test_mapping_cache import ADD, MAX_OBJECTS, MIB, expect_error, mapped, open_error, payload_of

pytestmark = pytest.mark.timeout(120)


def elsewhere(code):
    proc = run_python(CHILD_PRELUDE + "import os, random, zelvane\n" + textwrap.dedent(code))
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def rename_over(name, other, value):
    """Another process makes the slot `other` holding `value` and renames it over `name`."""
    elsewhere(f"""
        zelvane.write_memory({other!r}, {value!r})
        os.rename('/dev/shm/' + {other!r}, '/dev/shm/' + {name!r})
    """)


@pytest.mark.parametrize("size", [10, 100 * MIB], ids=["small", "100MiB"])
@pytest.mark.parametrize("change", ["removed", "recreated", "grown", "renamed_over"])
def test_change_elsewhere_is_seen_by_the_next_access(shm_name, size, change):
    name = shm_name("seen")
    zelvane.write_memory(name, payload_of(size))
    assert zelvane.read_memory(name) == payload_of(size)
    assert mapped(name) == [shm_path(name)]  # kept mapped, large or small
    if change == "removed":
        elsewhere(f"zelvane.remove_memory({name!r})")
        expect_error(MemoryError, open_error(name), zelvane.read_memory, name)
        assert mapped(name) == []
        return
    if change == "recreated":
        expected = "new object"
        elsewhere(f"zelvane.remove_memory({name!r}); zelvane.write_memory({name!r}, {expected!r})")
    elif change == "grown":
        expected = payload_of(size * 2 + 1000)
        elsewhere(f"zelvane.write_memory({name!r}, random.Random({size * 2 + 1000}).randbytes({size * 2 + 1000}))")
    else:
        expected = ("renamed", 1)
        rename_over(name, shm_name("other"), expected)
    assert zelvane.read_memory(name) == expected
    assert mapped(name) == [shm_path(name)]
    assert zelvane.write_memory(name, "after") is True
    assert elsewhere(f"print(zelvane.read_memory({name!r}))") == "after\n"


def test_slot_renamed_over_a_function_record(serve, shm_name):
    server = serve(ADD)
    assert zelvane.call_function(server.name, (1, 2)) == 3
    rename_over(server.name, shm_name("slot"), "a slot now")
    with pytest.raises(MemoryError, match="does not hold a hosted function"):
        zelvane.call_function(server.name, (1, 2))
    assert zelvane.read_memory(server.name) == "a slot now"


def test_many_large_names_stay_mapped_within_the_bound(shm_name):
    # Sparse: 40 pre-allocations of 150 MiB take address space, not memory.
    names = [shm_name("large") for _ in range(40)]
    for i, name in enumerate(names):
        assert zelvane.create_memory(name, 150 * MIB) is True
        assert zelvane.write_memory(name, i) is True
    assert all(len(mapped(n)) == 1 for n in names)
    assert [zelvane.read_memory(n) for n in names] == list(range(len(names)))
    assert len(names) < MAX_OBJECTS
    for name in names:
        assert zelvane.remove_memory(name) is True
    assert not any(mapped(n) for n in names)
    assert all(not os.path.exists(shm_path(n)) for n in names)
