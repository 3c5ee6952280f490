// Value slots: the slot operations and how they grow, lock and map a slot
// (its bytes are in layouts/slot.h).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

#include "kel_2.h"
#include "layouts/slot.h"
#include "platform/errors.h"
#include "platform/object_cache.h"
#include "platform/shm_support.h"
#include "platform/temporary.h"
#include "prefault.h"
#include "py_ref.h"
#include "slots/state.h"

namespace {

// ---------------------------------------------------------------------------
// Value slots
// ---------------------------------------------------------------------------

constexpr uint64_t HEADROOM = 32;

enum class CreateOutcome { Created, NotCreated, Failed };

CreateOutcome fail_creation(const char* format, const char* name) {
    memory_error(format, name);
    return CreateOutcome::Failed;
}

CreateOutcome name_taken(const char* name, bool error_if_exists) {
    if (error_if_exists) {
        return fail_creation("The memory address '%s' already exists.", name);
    }
    return CreateOutcome::NotCreated;
}

// Sizes the unnamed object `fd` for `capacity` payload bytes and gives the
// header alone its pages: the payload stays sparse until written.
bool size_slot_object(int fd, uint64_t capacity) {
    return capacity <= static_cast<uint64_t>(INT64_MAX) - HEADER_SIZE &&
           ::ftruncate(fd, static_cast<off_t>(capacity + HEADER_SIZE)) == 0 &&
           shm::allocate_range(fd, 0, HEADER_SIZE);
}

// Initialises the header of a slot that nobody else can see yet.
bool init_slot_header(BasicShm* slot, uint64_t capacity, const char* name) {
    if (shm::init_shared_mutex(&slot->mutex) != 0) {
        memory_error("Failed to initialize mutex for shared memory address '%s'.", name);
        return false;
    }
    slot->max_size = capacity;
    return true;
}

// Creates an initialised slot under `name`. It is built unnamed and linked
// under the name only once complete, so nobody sees it half made and a
// creator that dies part-way leaves nothing behind. With `held`, the slot is
// temporary: marked, held by this process before anyone can see it, and
// left open in `held`.
CreateOutcome create_shared_memory(const char* name, uint64_t pre_size, bool error_if_exists,
                                   shm::Fd* held = nullptr) {
    std::string path;
    if (!shm::shm_path(name, path)) {
        return CreateOutcome::NotCreated;
    }
    if (shm::name_exists(path)) {
        return name_taken(name, error_if_exists);
    }
    shm::Fd fd = shm::create_unnamed(held ? temporary::MARK : 0);
    if (!fd.valid()) {
        return CreateOutcome::NotCreated;
    }
    if (!size_slot_object(fd.get(), pre_size)) {
        return fail_creation("Failed to allocate for shared memory address '%s'.", name);
    }
    {
        shm::Mapping header;
        if (!object_cache.map_freeing_unused([&] { return header.map(fd.get(), HEADER_SIZE); })) {
            return fail_creation("Failed to map shared memory address '%s'.", name);
        }
        if (!init_slot_header(header.as<BasicShm>(), pre_size, name)) {
            return CreateOutcome::Failed;
        }
    }
    if (held && !temporary::take_holder_lock(fd.get())) {
        return fail_creation("Failed to create memory address '%s'.", name);
    }
    if (!shm::publish(fd.get(), path)) {
        return errno == EEXIST ? name_taken(name, error_if_exists) : CreateOutcome::NotCreated;
    }
    if (held) {
        *held = std::move(fd);
    }
    return CreateOutcome::Created;
}

// Unmaps a view of a slot that nobody uses any more. Unmapping the pages of
// a large one, which accesses filled, takes milliseconds: without the GIL,
// unless the interpreter is shutting down (its last thread could not take
// the GIL back).
void unmap_view(shm::Mapping view) {
    if (view.length() >= LARGE_COPY && !gil::interpreter_finalizing()) {
        shm::without_gil([&view] { view.reset(); });
    }
}

// One locked access to a slot. The mutex is unlocked through the mapping it
// was locked through, before a larger view made meanwhile replaces it.
struct SlotAccess {
    shm::ObjectUse object;
    shm::Mapping grown;  // a larger view, when the object grew after it was mapped
    shm::HeldMutex lock;
    // The header's capacity, read once under the mutex: another process that
    // scribbles over the header cannot make a check and a use disagree.
    uint64_t capacity = 0;
    // Object bytes [fresh_from, fresh_to) were allocated by this access,
    // so no mapping of this process has touched them yet.
    uint64_t fresh_from = 0;
    uint64_t fresh_to = 0;
    const timespec* limit = nullptr;  // when waiting for the mutex must end
    bool wake_waiters = false;        // a write was counted while somebody waited

    SlotAccess() = default;
    SlotAccess(const SlotAccess&) = delete;
    SlotAccess& operator=(const SlotAccess&) = delete;
    ~SlotAccess() {
        lock.unlock();
        if (wake_waiters) {
            slot_state::wake_all(&header()->mutex);
        }
        if (grown.mapped()) {
            unmap_view(object_cache.adopt(object, std::move(grown)));
        }
    }

    int fd() const { return object->fd.get(); }
    const shm::Mapping& mapping() const { return object->mapping; }
    BasicShm* header() const { return mapping().as<BasicShm>(); }
    unsigned char* payload() const { return (grown.mapped() ? grown : mapping()).bytes() + HEADER_SIZE; }
    // Another process may store the capacity while this one holds no lock.
    uint64_t unlocked_max_size() const {
        return std::atomic_ref<uint64_t>(header()->max_size).load(std::memory_order_acquire);
    }
};

bool not_a_slot(const char* name) {
    memory_error("The shared memory address '%s' does not hold a value slot.", name);
    return false;
}

bool check_slot_unlocked(const SlotAccess& access, uint64_t size) {
    return access.mapping().length() >= HEADER_SIZE &&
           recognised_as_slot(access.fd(), size, access.header(), access.unlocked_max_size());
}

// How far opening a slot got. Absent: no object has the name (no exception
// set). Written: the slot was made with the value already in it.
enum class SlotStep { Opened, Absent, Written, Failed };

// Opens the slot `name` through the cache; `st` receives the object's status.
SlotStep open_existing_slot(SlotAccess& access, const char* name, struct stat& st) {
    std::string file;
    bool map_failed = false;
    if (shm::shm_file_name(name, file)) {
        access.object = object_cache.open(file, st, map_failed);
    }
    if (access.object) {
        return SlotStep::Opened;
    }
    if (map_failed) {
        memory_error("Failed to map shared memory address '%s'.", name);
        return SlotStep::Failed;
    }
    if (errno == ENOENT) {
        return SlotStep::Absent;
    }
    memory_error("Failed to open shared memory address '%s'.", name);
    return SlotStep::Failed;
}

// Opens the slot `name`, found absent, after creating it empty when `create`
// allows it; `st` receives the object's status.
bool create_and_open_slot(SlotAccess& access, const char* name, bool create, struct stat& st) {
    if (!create) {
        memory_error("Failed to open shared memory address '%s'.", name);
        return false;
    }
    if (create_shared_memory(name, 0, false) == CreateOutcome::Failed) {
        return false;
    }
    std::string file;
    bool map_failed = false;
    if (shm::shm_file_name(name, file)) {
        access.object = object_cache.open(file, st, map_failed);
    }
    if (!access.object) {
        memory_error("Failed to open shared memory address '%s' after creation.", name);
        return false;
    }
    return true;
}

// Opens the slot `name` through the cache, creating an empty one when it
// does not exist and `create` allows it; `st` receives the object's status.
bool open_slot(SlotAccess& access, const char* name, bool create, struct stat& st) {
    switch (open_existing_slot(access, name, st)) {
        case SlotStep::Opened:
            return true;
        case SlotStep::Absent:
            return create_and_open_slot(access, name, create, st);
        default:
            return false;
    }
}

// A mapping of slot `name` was refused (errno tells why). When the address
// space could not hold the value being written, the error is the one the
// value would have met had it been encoded into a buffer of its own first.
bool mapping_refused(const char* name, bool for_value) {
    if (for_value && errno == ENOMEM) {
        PyErr_SetString(PyExc_MemoryError, "Not enough memory space available for use.");
    } else {
        memory_error("Failed to map shared memory address '%s'.", name);
    }
    return false;
}

// Under the mutex: measures the object and checks it against the capacity.
bool measure_locked_slot(const SlotAccess& access, uint64_t& size, const char* name) {
    if (!object_size(access.fd(), size) || !looks_like_slot(size, access.capacity)) {
        return not_a_slot(name);
    }
    return true;
}

// Under the mutex: gives the first `length` payload bytes their pages, so
// that the copy cannot meet a full file system half-way; done before the old
// value's first byte is cleared, so a refusal leaves it intact.
bool allocate_payload(SlotAccess& access, uint64_t length) {
    shm::MappedObject& object = *access.object;
    const uint64_t end = HEADER_SIZE + length;
    if (end <= object.allocated) {
        return true;
    }
    // Only the pages past those known allocated are asked for: the call
    // walks every page of its range, allocated or not, so a slightly larger
    // value would otherwise cost as much as the whole payload. Allocating
    // many pages takes as long as copying them: without the GIL, as the
    // copy (the access pins the object).
    const uint64_t from = std::max<uint64_t>(object.allocated, HEADER_SIZE);
    const auto allocate = [&access, from, end] { return shm::allocate_range(access.fd(), from, end - from); };
    if (!shm::without_gil_if_large(end - from, allocate)) {
        return false;
    }
    access.fresh_from = from;
    access.fresh_to = end;
    object.allocated = end;
    return true;
}

// Under the mutex: grows the object to hold `new_size` payload bytes (never
// shrinking it; the size is measured under the mutex, so two writers cannot
// undo each other's growth) and stores the new capacity.
bool grow_slot(SlotAccess& access, uint64_t new_size, const char* name) {
    uint64_t size;
    if (!measure_locked_slot(access, size, name)) {
        return false;
    }
    const uint64_t capacity = new_size + HEADROOM;
    if (!allocate_payload(access, new_size) ||
        (size < HEADER_SIZE + capacity && ::ftruncate(access.fd(), static_cast<off_t>(HEADER_SIZE + capacity)) != 0)) {
        PyErr_SetString(PyExc_MemoryError, "Failed to resize shared memory.");
        return false;
    }
    access.header()->max_size = capacity;
    access.capacity = capacity;
    return true;
}

// Under the mutex: maps a view of the header and `capacity` payload bytes
// beside the mapping the mutex is locked through. `for_value`: the view is
// to hold a value being written.
bool map_larger_view(SlotAccess& access, uint64_t capacity, bool for_value, const char* name) {
    const size_t length = HEADER_SIZE + capacity;
    if (!object_cache.map_freeing_unused([&] { return access.grown.map(access.fd(), length); })) {
        return mapping_refused(name, for_value);
    }
    return true;
}

// Under the mutex: grows the slot for `new_size` payload bytes, all mapped.
// The view is mapped before the object grows (a mapping may reach past the
// end of its file), so a refusal for want of address space leaves the slot
// as it was.
bool grow_mapped_slot(SlotAccess& access, uint64_t new_size, const char* name) {
    const uint64_t capacity = new_size + HEADROOM;
    if (capacity > access.mapping().length() - HEADER_SIZE && !map_larger_view(access, capacity, true, name)) {
        return false;
    }
    if (!grow_slot(access, new_size, name)) {
        access.grown.reset();  // it may reach past the end of the object
        return false;
    }
    return true;
}

// Under the mutex: makes room for `new_size` payload bytes and maps the whole
// payload. Without growth the object is not measured again: it only grows,
// so a capacity inside the mapping lies inside the object.
bool fit_payload(SlotAccess& access, uint64_t new_size, const char* name) {
    if (new_size > access.capacity) {
        return grow_mapped_slot(access, new_size, name);
    }
    if (!allocate_payload(access, new_size)) {
        memory_error("Failed to allocate for shared memory address '%s'.", name);
        return false;
    }
    // Compared without a sum, so that no header, however corrupt, wraps it.
    if (access.capacity <= access.mapping().length() - HEADER_SIZE) {
        return true;
    }
    // Another process grew the object after it was mapped.
    uint64_t size;
    return measure_locked_slot(access, size, name) && map_larger_view(access, access.capacity, false, name);
}

// The previous holder of the mutex died; if it had grown the object without
// storing the new capacity, the object's size tells it.
void repair_capacity(BasicShm* header, int fd) {
    uint64_t size;
    if (object_size(fd, size) && size >= HEADER_SIZE && size - HEADER_SIZE > header->max_size) {
        header->max_size = size - HEADER_SIZE;
    }
}

// Under the mutex, held through `access` by this or an earlier access:
// reads the capacity and gives the slot room for `new_size` payload bytes,
// all mapped.
bool fit_locked_slot(SlotAccess& access, const char* name, uint64_t new_size) {
    access.capacity = access.header()->max_size;
    return fit_payload(access, new_size, name);
}

// Takes the mutex of an open slot whose object measured `size` bytes and
// gives it room for `new_size` payload bytes, all mapped.
bool lock_slot(SlotAccess& access, const char* name, uint64_t size, uint64_t new_size) {
    if (!check_slot_unlocked(access, size)) {
        return not_a_slot(name);
    }
    BasicShm* header = access.header();
    const int fd = access.fd();
    access.lock = shm::lock_robust(&header->mutex, name, [header, fd] { repair_capacity(header, fd); }, access.limit);
    if (!access.lock.held()) {
        return false;
    }
    return fit_locked_slot(access, name, new_size);
}

// Opens the slot `name` (creating an empty one when allowed), takes its
// mutex and gives it room for `new_size` payload bytes, all mapped.
bool get_basic_shm(SlotAccess& access, const char* name, uint64_t new_size, bool create) {
    struct stat st;
    if (!open_slot(access, name, create, st)) {
        return false;
    }
    return lock_slot(access, name, static_cast<uint64_t>(st.st_size), new_size);
}

// ---------------------------------------------------------------------------
// Values on their way into a slot
// ---------------------------------------------------------------------------

// Base codes of the text and binary families whose top-level frame is
// written here (the size forms follow each base).
constexpr unsigned char STR_BASE = 0;
constexpr unsigned char BYTES_BASE = 18;
constexpr unsigned char BYTEARRAY_BASE = 23;
constexpr unsigned char MEMORYVIEW_BASE = 58;
// Marker, code, count byte and up to eight size bytes.
constexpr size_t MAX_FRAME_HEAD = 11;

// The frame of a top-level text or binary value of `size` bytes, as the
// codec writes it: the marker, then the shortest size form at `base` (empty,
// one byte, two bytes, or a count byte and that many little-endian size
// bytes). Returns its length.
size_t frame_head(unsigned char* head, unsigned char base, uint64_t size) {
    head[0] = PROTOCOL2_MARKER;
    unsigned width = 0;
    for (uint64_t rest = size; rest != 0; rest >>= 8) {
        ++width;
    }
    size_t at = 2;
    if (width <= 2) {
        head[1] = static_cast<unsigned char>(base + width);
    } else {
        head[1] = static_cast<unsigned char>(base + 3);
        head[2] = static_cast<unsigned char>(width);
        at = 3;
    }
    for (unsigned i = 0; i < width; ++i) {
        head[at + i] = static_cast<unsigned char>(size >> (8 * i));
    }
    return at + width;
}

// A value encoded and ready to be copied into a payload, as a frame head and
// a body, whose source stays put while the GIL is let go for the copy: the
// caller holds the value (bytes cannot change; a str keeps its UTF-8 form),
// an encoding is owned here and a bytearray or memoryview stays exported. A top-level bytes, bytearray, contiguous memoryview or str is not
// encoded into a buffer of its own: its bytes are copied once, straight from
// the object into the slot, behind a head computed here. Everything that can
// fail happens in prepare(), before the slot is opened, with the outcome the
// codec would give.
class PreparedValue {
public:
    PreparedValue() = default;
    PreparedValue(const PreparedValue&) = delete;
    PreparedValue& operator=(const PreparedValue&) = delete;
    ~PreparedValue() {
        if (exported_) {
            PyBuffer_Release(&view_);
        }
        discard_large_encoding();
    }

    bool prepare(PyObject* value) {
        switch (prepare_direct(value)) {
            case Direct::Done:
                return true;
            case Direct::Failed:
                return false;
            default:
                return prepare_encoded(value);
        }
    }

    size_t size() const { return head_length_ + body_length_; }

    // Copies the value into `payload` so that a reader never decodes a torn
    // value: byte 0 (the marker) is marked first and written last, so a
    // writer killed mid-copy leaves WRITE_IN_PROGRESS behind.
    void store(unsigned char* payload) const {
        std::atomic_ref<unsigned char> marker(payload[0]);
        marker.store(WRITE_IN_PROGRESS, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        std::memcpy(payload + 1, head_ + 1, head_length_ - 1);
        if (body_length_ != 0) {
            copy_in_pieces(payload + head_length_, body_, body_length_);
        }
        marker.store(head_[0], std::memory_order_release);
    }

private:
    enum class Direct { Done, Encode, Failed };

    // A bytearray or memoryview is held exported until the copy is made, so
    // it can neither be resized nor released while the GIL is let go.
    Direct prepare_direct(PyObject* value) {
        if (PyBytes_CheckExact(value)) {
            set_body(BYTES_BASE, PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value));
            return Direct::Done;
        }
        if (PyUnicode_CheckExact(value)) {
            Py_ssize_t length;
            const char* text = PyUnicode_AsUTF8AndSize(value, &length);
            if (!text) {
                return Direct::Failed;  // no UTF-8 form: the codec's own error
            }
            set_body(STR_BASE, text, length);
            return Direct::Done;
        }
        const bool bytearray = PyByteArray_CheckExact(value);
        if (!bytearray && !PyMemoryView_Check(value)) {
            return Direct::Encode;
        }
        // The codec asks for the same plain byte buffer; when it is refused,
        // the codec raises its own error.
        if (PyObject_GetBuffer(value, &view_, PyBUF_SIMPLE) != 0) {
            PyErr_Clear();
            return Direct::Encode;
        }
        exported_ = true;
        set_body(bytearray ? BYTEARRAY_BASE : MEMORYVIEW_BASE, view_.buf, view_.len);
        return Direct::Done;
    }

    // A large encoding, made for this write alone, gives its pages back with
    // the GIL let go before it is freed, which would otherwise take as long
    // with the GIL held.
    void discard_large_encoding() {
        PyObject* encoded = encoded_.get();
        if (!encoded || Py_REFCNT(encoded) != 1 || static_cast<uint64_t>(PyBytes_GET_SIZE(encoded)) < LARGE_COPY) {
            return;
        }
        char* data = PyBytes_AS_STRING(encoded);
        const auto length = static_cast<size_t>(PyBytes_GET_SIZE(encoded));
        shm::without_gil([data, length] { discard_pages(data, length); });
    }

    void set_body(unsigned char base, const void* data, Py_ssize_t length) {
        body_ = static_cast<const unsigned char*>(data);
        body_length_ = static_cast<size_t>(length);
        head_length_ = frame_head(head_, base, body_length_);
    }

    bool prepare_encoded(PyObject* value) {
        encoded_.reset(from_value(value));
        if (!encoded_) {
            return false;
        }
        const unsigned char* data;
        size_t size;
        if (!encoded_bytes(encoded_.get(), "Failed to convert a Python bytes object to a C string.", data,
                           size)) {
            return false;
        }
        // The codec's bytes: the marker is the head, the rest the body.
        head_[0] = data[0];
        head_length_ = 1;
        body_ = data + 1;
        body_length_ = size - 1;
        return true;
    }

    unsigned char head_[MAX_FRAME_HEAD] = {};
    size_t head_length_ = 0;
    const unsigned char* body_ = nullptr;
    size_t body_length_ = 0;
    PyRef encoded_;
    Py_buffer view_ = {};
    bool exported_ = false;
};

// ---------------------------------------------------------------------------
// Large values on their way out of a slot
// ---------------------------------------------------------------------------

// Under the mutex, before a large write: maps in at once the pages of the
// written range that this access allocated, which the copy would otherwise
// fault in one by one. Nothing beyond the bytes written is touched.
void populate_fresh_pages(const SlotAccess& access, uint64_t length) {
    if (length < LARGE_COPY || access.fresh_to <= access.fresh_from) {
        return;
    }
    unsigned char* object = access.payload() - HEADER_SIZE;
    populate_for_copy(object + access.fresh_from, access.fresh_to - access.fresh_from);
}

// Under the mutex: copies the prepared value into the payload and counts
// the write. A large copy lets the GIL go: the access pins the mapping (a
// close by another thread leaves it to the access's end) and the prepared
// value holds its source (see PreparedValue).
void store_value(SlotAccess& access, const PreparedValue& prepared) {
    const auto copy = [&access, &prepared] {
        populate_fresh_pages(access, prepared.size());
        prepared.store(access.payload());
    };
    shm::without_gil_if_large(prepared.size(), copy);
    access.wake_waiters |= slot_state::count_write(&access.header()->mutex);
}

// Under the mutex: whether the last write to the slot was left unfinished
// by a process that died mid-copy.
bool write_interrupted(const SlotAccess& access) {
    return access.capacity != 0 && access.payload()[0] == WRITE_IN_PROGRESS;
}

// Under the mutex of a slot opened for access: the decoded value, None for
// a slot never written.
PyObject* read_locked(const SlotAccess& access) {
    if (access.capacity == 0) {
        Py_RETURN_NONE;
    }
    // The mutex is held and the access pins the mapping: large copies out of
    // it may let the GIL go.
    return to_value_range(access.payload(), access.capacity, true);
}

PyObject* read_slot(const char* name) {
    SlotAccess access;
    if (!get_basic_shm(access, name, 0, false)) {
        return nullptr;
    }
    return read_locked(access);
}

// Makes the unnamed object `fd` a slot holding `prepared`: the size,
// capacity and errors of creating it empty and then growing it for the value;
// false with the exception set.
bool fill_new_slot(int fd, const PreparedValue& prepared, const char* name) {
    const uint64_t size = prepared.size();
    const uint64_t capacity = size + HEADROOM;
    if (!size_slot_object(fd, 0)) {
        memory_error("Failed to allocate for shared memory address '%s'.", name);
        return false;
    }
    // Pages for a large value take as long to allocate as to fill: without
    // the GIL, as the copy (nobody else can reach the unnamed object).
    const auto allocate = [fd, capacity, size] {
        return ::ftruncate(fd, static_cast<off_t>(HEADER_SIZE + capacity)) == 0 &&
               shm::allocate_range(fd, HEADER_SIZE, size);
    };
    if (!shm::without_gil_if_large(size, allocate)) {
        PyErr_SetString(PyExc_MemoryError, "Failed to resize shared memory.");
        return false;
    }
    shm::Mapping mapping;
    const size_t length = HEADER_SIZE + capacity;
    if (!object_cache.map_freeing_unused([&] { return mapping.map(fd, length); })) {
        return mapping_refused(name, true);
    }
    if (!init_slot_header(mapping.as<BasicShm>(), capacity, name)) {
        return false;
    }
    unsigned char* payload = mapping.bytes() + HEADER_SIZE;
    pthread_mutex_t* mutex = &mapping.as<BasicShm>()->mutex;
    const auto fill = [payload, mutex, &prepared] {
        prepared.store(payload);
        // Counted as the write into an empty slot it stands for would be.
        slot_state::count_write(mutex);
    };
    if (size < LARGE_COPY) {
        fill();
        return true;
    }
    // Unmapping the pages the copy filled takes milliseconds too: it is
    // done here, with the copy, rather than with the GIL held on return.
    shm::without_gil([payload, size, &fill, &mapping] {
        populate_for_copy(payload, size);
        fill();
        mapping.reset();
    });
    return true;
}

// Keeps the slot `name` open and mapped for the accesses to come, as any
// access does; a failure here only costs the next access an open.
void keep_slot_mapped(const char* name) {
    std::string file;
    struct stat st;
    bool map_failed = false;
    if (shm::shm_file_name(name, file)) {
        object_cache.open(file, st, map_failed);
    }
}

// Writes `prepared` into a new slot built unnamed, and links it under `name`
// only once it holds the value, so that a write that fails leaves no name
// behind. Absent (no exception) when the object cannot be made or another
// process linked the name first: the write then takes the ordinary way.
SlotStep write_new_slot(const char* name, const PreparedValue& prepared) {
    std::string path;
    if (!shm::shm_path(name, path)) {
        return SlotStep::Absent;
    }
    shm::Fd fd = shm::create_unnamed();
    if (!fd.valid()) {
        return SlotStep::Absent;
    }
    if (!fill_new_slot(fd.get(), prepared, name)) {
        return SlotStep::Failed;
    }
    if (!shm::publish(fd.get(), path)) {
        return SlotStep::Absent;
    }
    // Opened again by name: the unnamed object's own descriptor and mapping
    // would show its origin, not its name, wherever open files are listed.
    keep_slot_mapped(name);
    return SlotStep::Written;
}

// Opens the slot `name` for a write of `prepared`; a missing slot, when
// `create` allows it, is made with the value in it (Written).
SlotStep open_slot_for_write(SlotAccess& access, const char* name, const PreparedValue& prepared, bool create,
                             struct stat& st) {
    const SlotStep opened = open_existing_slot(access, name, st);
    if (opened != SlotStep::Absent) {
        return opened;
    }
    if (create) {
        const SlotStep made = write_new_slot(name, prepared);
        if (made != SlotStep::Absent) {
            return made;
        }
    }
    return create_and_open_slot(access, name, create, st) ? SlotStep::Opened : SlotStep::Failed;
}

PyObject* write_slot(const char* name, PyObject* value, bool create) {
    PreparedValue prepared;
    if (!prepared.prepare(value)) {
        return nullptr;
    }
    SlotAccess access;
    struct stat st;
    switch (open_slot_for_write(access, name, prepared, create, st)) {
        case SlotStep::Written:
            Py_RETURN_TRUE;
        case SlotStep::Opened:
            break;
        default:
            return nullptr;
    }
    if (!lock_slot(access, name, static_cast<uint64_t>(st.st_size), prepared.size())) {
        return nullptr;
    }
    store_value(access, prepared);
    Py_RETURN_TRUE;
}

}  // namespace
