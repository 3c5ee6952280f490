"""The Redis back end's reply reader and command packing, on byte streams cut
every way a socket may cut them."""
import pytest

from zelvane._remote_wire import Broken, ReplyError, ReplyReader, packed

REPLIES = (b"*3\r\n*2\r\n$1\r\n1\r\n$-1\r\n:-7\r\n*0\r\n"  # nested arrays, nil, an empty array
           b"$-1\r\n*-1\r\n_\r\n"                          # the nil forms
           b"+OK\r\n-NOSCRIPT No matching script.\r\n"
           b"$4\r\na\r\nb\r\n$0\r\n\r\n")                  # line ends inside a value; an empty value
EXPECTED = [[[b"1", None], -7, []], None, None, None, b"OK", "NOSCRIPT No matching script.", b"a\r\nb", b""]


def chunks_of(data, size):
    return [data[i:i + size] for i in range(0, len(data), size)]


def reader_over(chunks):
    """A reader whose recv hands out `chunks` one by one, never more than asked."""
    pending = list(chunks)

    def recv(size):
        if not pending:
            return b""
        chunk = pending.pop(0)
        if len(chunk) > size:
            pending.insert(0, chunk[size:])
        return chunk[:size]
    return ReplyReader(recv)


def read_all(reader, count):
    return [str(r) if isinstance(r, ReplyError) else r for r in (reader.reply() for _ in range(count))]


@pytest.mark.parametrize("size", [1, 2, 3, 5, 7, 64, len(REPLIES)])
def test_replies_read_alike_however_the_stream_is_cut(size):
    assert read_all(reader_over(chunks_of(REPLIES, size)), len(EXPECTED)) == EXPECTED


def test_an_error_reply_is_returned_not_raised():
    (reply,) = [reader_over([b"-ERR wrong\r\n"]).reply()]
    assert isinstance(reply, ReplyError) and str(reply) == "ERR wrong"


def test_a_long_value_in_an_array_arrives_whole():
    value = bytes(range(256)) * 4000
    stream = b"*2\r\n$%d\r\n" % len(value) + value + b"\r\n:1\r\n"
    assert reader_over(chunks_of(stream, 1000)).reply() == [value, 1]


@pytest.mark.parametrize("stream", [b"", b"*2\r\n:1\r\n", b"$10\r\nabc", b":12"])
def test_a_stream_that_ends_mid_reply_is_broken(stream):
    with pytest.raises(Broken, match="closed by server"):
        reader_over(chunks_of(stream, 3)).reply()


def test_an_unknown_reply_kind_is_broken():
    with pytest.raises(Broken, match="Protocol error"):
        reader_over([b"!5\r\nhello\r\n"]).reply()


def test_packed_commands_read_back_as_their_words():
    words = ("EVALSHA", "é", b"\r\n\0", 3, 0.25, b"")
    assert reader_over([packed(*words)]).reply() == [b"EVALSHA", "é".encode(), b"\r\n\0", b"3", b"0.25", b""]


def test_words_equal_in_value_but_not_in_kind_pack_apart(monkeypatch):
    from zelvane import _remote_wire
    monkeypatch.setattr(_remote_wire, "PACKED_STRINGS_KEPT", 3)
    words = ("1", 1, 1.0, "k1", "k2", "k3", "k4", "1")
    for _ in range(2):  # packed afresh, then from the memo (or after it was forgotten)
        assert reader_over([packed(*words)]).reply() == [b"1", b"1", b"1.0", b"k1", b"k2", b"k3", b"k4", b"1"]
