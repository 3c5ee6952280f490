// Objects kept open and mapped between accesses. An access to a name this
// process touched before costs one fstat of the kept descriptor, instead of
// an open, a fresh mapping (and its page faults), an unmap and a close: a
// link count of 0 tells that the name no longer leads to the object (it was
// removed, or another object was renamed over it), and the size tells how
// far another process grew it. The name itself is looked up again only then.
//
// Only touched with the GIL held. An access in progress is a user of its
// object; an object in use is never unmapped or remapped, because a robust
// mutex locked through a mapping must be unlocked through it. Dropping an
// object from the cache only hands it to its last user, who frees it. When
// the system refuses a mapping for want of address space, the objects nobody
// uses are let go and the mapping is tried once more.
#pragma once
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/shm_support.h"

namespace shm {

// Mapping costs address space, not memory (a page of /dev/shm is counted
// once however often it is mapped), so large objects are kept like small
// ones, up to a bound on the address space all kept objects take.
inline constexpr size_t CACHE_MAX_OBJECTS = 64;
inline constexpr size_t CACHE_MAX_BYTES = size_t{8} << 30;


struct MappedObject;

// How long the waits of one kind lately took (an exponential average, in
// nanoseconds), which tells the next how long to watch before it sleeps, and
// how many went without a watch since the last one that did.
struct WaitHistory {
    std::atomic<uint32_t> average_ns{0};
    std::atomic<uint32_t> unwatched{0};
};

// Where this process's callers stand among a pool's callers: the newest
// exchange whose reply they collected, and the newest reply of another
// caller that they stopped waiting to see collected.
struct PoolTurns {
    std::atomic<uint64_t> collected{0};
    std::atomic<uint64_t> passed{0};
};

// The objects through which this process holds a lock that says it is alive
// (a server's record, a caller's record). A fork child gives them up: the
// descriptor and the mapping it inherited share the parent's open file
// description, and with it those locks. Only touched with the GIL held.
inline std::vector<MappedObject*> liveness_holders;

struct MappedObject {
    MappedObject() = default;
    MappedObject(const MappedObject&) = delete;
    MappedObject& operator=(const MappedObject&) = delete;
    ~MappedObject() {
        if (holds_liveness) {
            std::erase(liveness_holders, this);
        }
    }

    // Lists this object among those that hold a liveness lock.
    void held_liveness() {
        if (!holds_liveness) {
            liveness_holders.push_back(this);
            holds_liveness = true;
        }
    }

    // In a fork child: drops every reference to the parent's open file
    // description, leaving harmless stand-ins in place.
    void give_up_after_fork(int harmless) noexcept {
        ::dup3(harmless, fd.get(), O_CLOEXEC);
        mapping.replace_with_private();
    }

    std::string file;  // the name's file in /dev/shm
    Fd fd;
    Mapping mapping;
    unsigned users = 0;
    bool cached = false;
    // The process that holds its caller lock on a function record through
    // this descriptor (0 for none; a forked child has another pid).
    pid_t caller_lock_pid = 0;
    bool holds_liveness = false;
    // For a function record: how long this process's calls lately waited
    // for their replies.
    WaitHistory replies;
    // For a pool's record: how far this process's calls got.
    PoolTurns turns;
    bool held = false;  // kept by a handle, which frees it on close once unused
    // The object's first bytes known to have their pages: the first page
    // holds the header, written when the object was made, and pages are
    // never given back.
    uint64_t allocated = 4096;
    size_t accounted = 0;  // the mapping's length as the cache counted it
    uint64_t last_use = 0;
};

// A use of a mapped object for the length of one access.
class ObjectUse {
public:
    ObjectUse() noexcept = default;
    explicit ObjectUse(MappedObject* object) noexcept : object_(object) { ++object_->users; }
    ObjectUse(const ObjectUse&) = delete;
    ObjectUse& operator=(const ObjectUse&) = delete;
    ObjectUse(ObjectUse&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    ObjectUse& operator=(ObjectUse&& other) noexcept {
        if (this != &other) {
            release();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~ObjectUse() { release(); }

    // An object of this use alone, never cached (a record being created).
    static ObjectUse unshared() { return ObjectUse(new MappedObject); }

    explicit operator bool() const noexcept { return object_ != nullptr; }
    MappedObject* operator->() const noexcept { return object_; }
    MappedObject& operator*() const noexcept { return *object_; }
    bool sole_user() const noexcept { return object_->users == 1; }

    void release() noexcept {
        if (object_ && --object_->users == 0 && !object_->cached && !object_->held) {
            delete object_;
        }
        object_ = nullptr;
    }

private:
    MappedObject* object_ = nullptr;
};

class ObjectCache {
public:
    // A forked child must not share the parent's descriptors: locks held
    // through them would read as its own.
    ObjectCache() { pthread_atfork(nullptr, nullptr, note_fork); }
    ObjectCache(const ObjectCache&) = delete;
    ObjectCache& operator=(const ObjectCache&) = delete;

    // The object that `file` (in /dev/shm) names, mapped whole, and in `st` its status.
    // Empty, with errno set, when the name cannot be opened or mapped
    // (`map_failed` tells which).
    ObjectUse open(const std::string& file, struct stat& st, bool& map_failed) {
        map_failed = false;
        if (forked_.exchange(false, std::memory_order_relaxed)) {
            clear();
        }
        const auto found = objects_.find(file);
        if (found != objects_.end()) {
            if (still_linked(*found->second, st)) {
                return reuse(found->second, st, map_failed);
            }
            forget(found);
        }
        ObjectUse use = open_unshared(file, st, map_failed);
        if (use) {
            keep(&*use);
        }
        return use;
    }

    // Opens the object that `file` (in /dev/shm) names and maps it whole, for
    // this use alone; `st` receives its status. Empty, with errno set, when
    // the name cannot be opened or mapped (`map_failed` tells which).
    ObjectUse open_unshared(const std::string& file, struct stat& st, bool& map_failed) {
        map_failed = false;
        Fd fd(::openat(shm_directory(), file.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
        if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
            return ObjectUse();
        }
        return map_unshared(file, std::move(fd), st, map_failed);
    }

    // Maps the object open as `fd`, of status `st`, whole, for this use
    // alone. Empty, with errno set, when it cannot be mapped.
    ObjectUse map_unshared(const std::string& file, Fd&& fd, const struct stat& st, bool& map_failed) {
        map_failed = false;
        ObjectUse use = ObjectUse::unshared();
        use->file = file;
        use->fd = std::move(fd);
        const size_t length = static_cast<size_t>(st.st_size);
        if (length > 0 && !map_freeing_unused([&] { return use->mapping.map(use->fd.get(), length); })) {
            map_failed = true;
            return ObjectUse();
        }
        return use;
    }

    // Runs `map` (a mapping attempt: true on success, false with errno set);
    // when the system refuses it for want of address space, lets go of every
    // kept object that nobody uses and runs it once more.
    template <typename Map>
    bool map_freeing_unused(Map&& map) {
        if (map()) {
            return true;
        }
        return errno == ENOMEM && forget_unused() && map();
    }

    // Forgets the object that `file` named, as soon as nobody uses it.
    void drop(const std::string& file) {
        const auto found = objects_.find(file);
        if (found != objects_.end()) {
            forget(found);
        }
    }

    // Takes a larger view of an object, made while another view was locked
    // through, in place of the mapping, when this access alone uses it.
    // Returns the view let go (the former one, or the larger one when others
    // use the object), for the caller to unmap where it suits it.
    [[nodiscard]] Mapping adopt(ObjectUse& use, Mapping&& larger) {
        if (!use.sole_user()) {
            return std::move(larger);
        }
        Mapping former = std::exchange(use->mapping, std::move(larger));
        recount(*use);
        return former;
    }

    void clear() {
        while (!objects_.empty()) {
            forget(objects_.begin());
        }
    }

private:
    using Objects = std::unordered_map<std::string, MappedObject*>;

    static void note_fork() noexcept { forked_.store(true, std::memory_order_relaxed); }

    ObjectUse reuse(MappedObject* object, const struct stat& st, bool& map_failed) {
        object->last_use = ++clock_;
        ObjectUse use(object);
        // Another process grew the object; remapping moves the view, which
        // only a sole user may do. mremap keeps the pages already mapped and
        // needs address space for the growth alone.
        const size_t length = static_cast<size_t>(st.st_size);
        if (length != object->mapping.length() && use.sole_user()) {
            if (length == 0) {
                object->mapping.reset();
            } else if (!map_freeing_unused([&] { return object->mapping.remap(object->fd.get(), length); })) {
                map_failed = true;
                return ObjectUse();
            }
            recount(*object);
        }
        return use;
    }

    // Whether a kept object still has a name, judged from its own descriptor
    // alone; `st` receives its status.
    static bool still_linked(const MappedObject& object, struct stat& st) {
        return status_of(object.fd.get(), st) && st.st_nlink > 0;
    }

    // fstat of a descriptor. On x86-64 the C library makes it a newfstatat
    // with an empty path, which the kernel handles a tenth slower than the
    // plain fstat call; the two fill the same structure there.
    static bool status_of(int fd, struct stat& st) {
#if defined(__x86_64__) && defined(SYS_fstat)
        return ::syscall(SYS_fstat, fd, &st) == 0;
#else
        return ::fstat(fd, &st) == 0;
#endif
    }

    void keep(MappedObject* object) {
        if (object->mapping.length() > CACHE_MAX_BYTES) {
            return;
        }
        object->cached = true;
        object->accounted = object->mapping.length();
        object->last_use = ++clock_;
        bytes_ += object->accounted;
        objects_.emplace(object->file, object);
        evict_beyond_bounds(object);
    }

    // Keeps the byte count in step with a mapping that was replaced.
    void recount(MappedObject& object) {
        if (!object.cached) {
            return;
        }
        bytes_ = bytes_ - object.accounted + object.mapping.length();
        object.accounted = object.mapping.length();
        if (object.accounted > CACHE_MAX_BYTES) {
            drop(object.file);
            return;
        }
        evict_beyond_bounds(&object);
    }

    // Forgets the least recently used objects, other than `spared`, until
    // the cache is within its bounds.
    void evict_beyond_bounds(const MappedObject* spared) {
        while (objects_.size() > CACHE_MAX_OBJECTS || bytes_ > CACHE_MAX_BYTES) {
            auto oldest = objects_.end();
            for (auto it = objects_.begin(); it != objects_.end(); ++it) {
                if (it->second != spared && (oldest == objects_.end() || it->second->last_use < oldest->second->last_use)) {
                    oldest = it;
                }
            }
            if (oldest == objects_.end()) {
                return;
            }
            forget(oldest);
        }
    }

    // Forgets every object that no access uses; whether there was one.
    bool forget_unused() {
        bool forgot = false;
        for (auto it = objects_.begin(); it != objects_.end();) {
            const auto entry = it++;
            if (entry->second->users == 0) {
                forget(entry);
                forgot = true;
            }
        }
        return forgot;
    }

    void forget(Objects::iterator entry) {
        MappedObject* object = entry->second;
        objects_.erase(entry);
        bytes_ -= object->accounted;
        object->cached = false;
        object->accounted = 0;
        if (object->users == 0) {
            delete object;
        }
    }

    Objects objects_;
    size_t bytes_ = 0;
    uint64_t clock_ = 0;
    static inline std::atomic<bool> forked_{false};
};

}  // namespace shm

namespace {

// The objects this process keeps mapped between accesses.
shm::ObjectCache object_cache;

}  // namespace
