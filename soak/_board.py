"""A progress board shared by a soak and its children: a file mapped by
every process, with a header the soak writes and one cell per child.

Every field is one aligned 8-byte word, written by a single process, so a
reader never sees half a field. A child publishes its epoch last, after the
figures of that epoch, so a soak that reads the current epoch in a cell
also reads that epoch's figures."""
import mmap
import os

HEADER_WORDS = 8
CELL_WORDS = 16
NEVER = 1e18

# Header words.
EPOCH, KILL_TIME, STOP = 0, 1, 2

# Cell words.
OPS = 0            # operations finished
LAST_END = 1       # monotonic time the last one ended
OP_START = 2       # monotonic start of the operation under way, 0 between
CELL_EPOCH = 3     # the epoch the figures below belong to
MAX_WAIT = 4       # longest time an operation ran past the kill of this epoch
AFTER = 5          # operations started after the kill of this epoch
GOOD = 6           # reads of a checksummed value, calls answered correctly
TORN = 7           # reads that returned a value other than one fully written
DECODE_ERRORS = 8  # reads refused by the decoder (a value torn by a killed writer)
CLEAN_ERRORS = 9   # calls ended by a clear error naming the function
UNCLEAR = 10       # any other failure
MISDELIVERED = 11  # a result that belongs to another call
REGRESSED = 12     # a writer's value older than one this reader already saw
READY = 13         # 1 once the child runs its loop
GONE = 14          # calls told that nobody serves the function any more
LOST = 15          # calls whose reply another caller reclaimed

COUNTERS = {"good": GOOD, "torn": TORN, "decode_errors": DECODE_ERRORS, "clean_errors": CLEAN_ERRORS,
            "unclear": UNCLEAR, "misdelivered": MISDELIVERED, "regressed": REGRESSED, "gone": GONE,
            "lost": LOST}
FLOAT_FIELDS = {KILL_TIME, LAST_END, OP_START, MAX_WAIT}


class Board:
    def __init__(self, path, cells=None):
        size = 8 * (HEADER_WORDS + CELL_WORDS * (cells or 0))
        if cells is not None:
            with open(path, "wb") as f:
                f.truncate(size)
        fd = os.open(path, os.O_RDWR)
        try:
            self.mm = mmap.mmap(fd, 0)
        finally:
            os.close(fd)
        self.q = memoryview(self.mm).cast("q")
        self.d = memoryview(self.mm).cast("d")
        if cells is not None:
            self.d[KILL_TIME] = NEVER

    def close(self):
        self.q.release()
        self.d.release()
        self.mm.close()

    # Header, written by the soak.
    def announce_kill(self, epoch, when):
        # The time first: a child that sees the new epoch must see its time.
        self.d[KILL_TIME] = when
        self.q[EPOCH] = epoch

    def stop(self):
        self.q[STOP] = 1

    def stopping(self):
        return self.q[STOP] != 0

    # Cells.
    def get(self, cell, field):
        index = HEADER_WORDS + CELL_WORDS * cell + field
        return self.d[index] if field in FLOAT_FIELDS else self.q[index]

    def set(self, cell, field, value):
        index = HEADER_WORDS + CELL_WORDS * cell + field
        if field in FLOAT_FIELDS:
            self.d[index] = value
        else:
            self.q[index] = value

    def add(self, cell, field, amount=1):
        index = HEADER_WORDS + CELL_WORDS * cell + field
        self.q[index] += amount

    def counters(self, cell):
        return {key: self.get(cell, field) for key, field in COUNTERS.items()}


class Progress:
    """A child's side of its cell: times every operation against the last
    kill the soak announced."""

    def __init__(self, board, cell):
        self.board = board
        self.cell = cell
        self.epoch = -1
        self.max_wait = 0.0
        self.after = 0
        board.set(cell, READY, 1)

    def started(self, when):
        self.board.set(self.cell, OP_START, when)

    def finished(self, start, end):
        board, cell = self.board, self.cell
        epoch = board.q[EPOCH]
        kill_time = board.d[KILL_TIME]
        if epoch != self.epoch:
            self.epoch, self.max_wait, self.after = epoch, 0.0, 0
        if end > kill_time:
            self.max_wait = max(self.max_wait, end - max(start, kill_time))
        if start >= kill_time:
            self.after += 1
        board.set(cell, MAX_WAIT, self.max_wait)
        board.set(cell, AFTER, self.after)
        board.set(cell, CELL_EPOCH, epoch)
        board.set(cell, LAST_END, end)
        board.set(cell, OP_START, 0.0)
        board.add(cell, OPS)
