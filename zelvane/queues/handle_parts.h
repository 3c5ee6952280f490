// zelvane.QueueHandle's parts shared by its put and get sides: the handle
// and reservation objects, the queue exceptions and the arguments of a wait.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "kel_2.h"
#include "platform/errors.h"
#include "platform/held_lock.h"
#include "platform/pickling.h"
#include "platform/shm_support.h"
#include "platform/temporary.h"
#include "prefault.h"
#include "py_ref.h"
#include "queues/claims.h"
#include "queues/core.h"
#include "queues/storage.h"
#include "slots/slot.h"

namespace {
namespace queues {

PyTypeObject* queue_handle_type = nullptr;
PyTypeObject* reservation_type = nullptr;
#ifdef MADV_POPULATE_READ
constexpr int MADV_POPULATE_READ_FLAG = MADV_POPULATE_READ;
#else
constexpr int MADV_POPULATE_READ_FLAG = 22;
#endif
PyObject* full_error = nullptr;   // queue.Full
PyObject* empty_error = nullptr;  // queue.Empty

struct QueueHandle {
    PyObject_HEAD
    PyObject* name;  // the str the handle was opened with
    QueueMap* map;   // null once closed
    uint64_t maxsize;
    temporary::Hold* hold;  // this process's hold on a temporary queue, or null
};

struct QueueReservation {
    PyObject_HEAD
    QueueMap* map;   // null once the reservation has ended
    PyObject* item;  // the item, until the reservation ends
    uint64_t at;     // the taken record's logical offset
    int owner;       // the participant holding it
    pid_t pid;       // the process that took it
};

QueueHandle* as_handle(PyObject* self) { return reinterpret_cast<QueueHandle*>(self); }

bool closed_error(const QueueHandle* self) {
    PyErr_Format(PyExc_ValueError, "I/O operation on a closed queue handle of '%s'.", message_name(self->name));
    return false;
}

PyObject* not_stored(const QueueMap& map) {
    PyErr_Format(PyExc_MemoryError, "Failed to allocate for shared memory address '%s'.", map.what());
    return nullptr;
}

// The arguments block and timeout, as queue.Queue takes them.
bool wait_arguments(PyObject* block, PyObject* timeout, bool& blocking, timespec& limit, bool& limited) {
    const int truth = block ? PyObject_IsTrue(block) : 1;
    if (truth < 0 || !shm::time_limit(timeout, limit, limited)) {
        return false;
    }
    blocking = truth == 1;
    return true;
}


}  // namespace queues
}  // namespace
