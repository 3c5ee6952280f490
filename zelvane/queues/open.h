// open_queue: a named queue opened (or made) by this process, temporary or
// not, as a zelvane.QueueHandle; and what the command shows of a queue.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "platform/errors.h"
#include "platform/shm_support.h"
#include "platform/temporary.h"
#include "py_ref.h"
#include "queues/core.h"
#include "queues/handle.h"
#include "queues/storage.h"

namespace {
namespace queues {

// Maps the queue open as `fd` after checking that it is one (and, when
// `maxsize` is not 0, that it has that bound); null with an exception set.
QueueMap* attach_queue(shm::Fd fd, const char* name, uint64_t maxsize, uint64_t& found_maxsize,
                       bool is_temporary = false) {
    QueueShm header;
    struct stat st;
    if (!read_queue_header(fd.get(), header) || ::fstat(fd.get(), &st) != 0) {
        PyErr_Format(PyExc_MemoryError, "The shared memory address '%s' does not hold a queue.", name);
        return nullptr;
    }
    if (!temporary::lifetime_fits(st, name, is_temporary)) {
        return nullptr;
    }
    if (maxsize != 0 && header.maxsize != maxsize) {
        PyErr_Format(PyExc_ValueError, "The queue '%s' has maxsize %llu, not %llu.", name,
                     static_cast<unsigned long long>(header.maxsize), static_cast<unsigned long long>(maxsize));
        return nullptr;
    }
    std::unique_ptr<QueueMap> map(new (std::nothrow) QueueMap);
    if (!map) {
        PyErr_NoMemory();
        return nullptr;
    }
    if (!map->control.map(fd.get(), HEADER_BYTES)) {
        PyErr_Format(PyExc_MemoryError, "Failed to map shared memory address '%s'.", name);
        return nullptr;
    }
    map->name = name;
    map->fd = std::move(fd);
    found_maxsize = header.maxsize;
    return map.release();
}

// Opens the queue `name`, making it when it is missing and `create` says so.
QueueMap* open_queue_object(const char* name, uint64_t maxsize, bool create, uint64_t& found_maxsize) {
    constexpr int ATTEMPTS = 8;
    std::string path;
    if (shm::shm_path(name, path)) {
        for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
            shm::Fd fd(::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
            if (fd.valid()) {
                return attach_queue(std::move(fd), name, maxsize, found_maxsize);
            }
            if (errno != ENOENT || !create) {
                break;
            }
            switch (create_queue(name, path, maxsize, fd)) {
                case Creation::Created:
                    return attach_queue(std::move(fd), name, maxsize, found_maxsize);
                case Creation::Failed:
                    return nullptr;
                default:
                    continue;
            }
        }
    }
    PyErr_Format(PyExc_MemoryError, "Failed to open shared memory address '%s'.", name);
    return nullptr;
}

// Opens the temporary queue `name` and holds it for this process (`hold`); a
// missing queue, or one that no live process holds, is made afresh when
// `create` allows it.
QueueMap* open_temporary_queue(const char* name, uint64_t maxsize, bool create, uint64_t& found_maxsize,
                               temporary::Hold*& hold) {
    temporary::Opening opening;
    const auto make = [name, maxsize, &opening](shm::Fd& fd) {
        switch (create_queue(name, opening.path, maxsize, fd, true)) {
            case Creation::Created:
                return temporary::Made::Created;
            case Creation::Failed:
                return temporary::Made::Failed;
            default:
                return temporary::Made::Taken;
        }
    };
    if (!temporary::open_held(name, create, opening, make)) {
        return nullptr;
    }
    shm::Fd fd = opening.descriptor_to_map(name);
    if (!fd.valid()) {
        return nullptr;
    }
    QueueMap* map = attach_queue(std::move(fd), name, maxsize, found_maxsize, true);
    if (map) {
        hold = opening.take();
    }
    return map;
}

PyObject* open_queue(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"name", "maxsize", "create", "temporary", nullptr};
    PyObject* name;
    Py_ssize_t maxsize = 0;
    int create = 1;
    PyObject* temporary_wanted = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|n$pO!:open_queue", const_cast<char**>(kwlist), &name, &maxsize,
                                     &create, &PyBool_Type, &temporary_wanted)) {
        return nullptr;
    }
    const char* text = PyUnicode_AsUTF8(name);
    if (!text) {
        return nullptr;
    }
    const uint64_t bound = maxsize > 0 ? static_cast<uint64_t>(maxsize) : 0;
    uint64_t found_maxsize = 0;
    temporary::Hold* hold = nullptr;
    MapRef map = MapRef::adopt(temporary_wanted == Py_True ? open_temporary_queue(text, bound, create != 0, found_maxsize, hold)
                                            : open_queue_object(text, bound, create != 0, found_maxsize));
    if (!map) {
        return nullptr;
    }
    PyRef handle(PyType_GenericAlloc(queue_handle_type, 0));
    if (!handle) {
        temporary::release(hold);
        return nullptr;
    }
    QueueHandle* self = as_handle(handle.get());
    self->name = PyRef::borrow(name).release();
    self->maxsize = found_maxsize;
    self->map = map.release();
    self->hold = hold;
    return handle.release();
}

constexpr const char* OPEN_QUEUE_DOC =
    "open_queue($module, /, name, maxsize=0, *, create=True, temporary=False)\n--\n\n"
    "Open the named queue and return a QueueHandle, with the methods of queue.Queue; any number of\n"
    "processes and threads put and get through it, in one order. A missing queue is made when\n"
    "create is true, holding at most maxsize items (0: as many as memory allows); an existing one\n"
    "keeps its own bound (a different maxsize other than 0 is a ValueError). With temporary=True\n"
    "the queue lives while a process holds it open through a temporary handle: the last to close\n"
    "removes the name, and a queue left by processes that all died is made afresh.";

// What the command shows of the queue open as `fd` (read-only is enough):
// a dict, or None when it is not a queue.
PyObject* queue_state_of(PyObject*, PyObject* fd_object) {
    const int fd = PyObject_AsFileDescriptor(fd_object);
    if (fd < 0) {
        return nullptr;
    }
    QueueShm header;
    if (!read_queue_header(fd, header)) {
        Py_RETURN_NONE;
    }
    return Py_BuildValue("{sKsKsKsKsIsIsK}", "length", static_cast<unsigned long long>(header.ready), "maxsize",
                         static_cast<unsigned long long>(header.maxsize), "reserved",
                         static_cast<unsigned long long>(header.taken), "incoming",
                         static_cast<unsigned long long>(header.incoming), "consumers_waiting", header.get_waiters,
                         "producers_waiting", header.put_waiters, "ring",
                         static_cast<unsigned long long>(ring_of(&header).size));
}

}  // namespace queues
}  // namespace
