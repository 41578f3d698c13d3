// Request throttling for the bindings: a process-wide token bucket against overload, and a
// per-identity sliding-window limiter so that one noisy caller cannot use up everyone's capacity.
// Both are process-local and keep their state in memory.
#include "throttle_redis.hpp"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

namespace quellon_throttle {

const char *MOD = "quellon_runtime.throttle";

const char *EXCEEDED_MSG = "Global rate limit exceeded. Please try again later.";
const char *LEGACY_FLAG_MSG = "QL_REST_THROTTLE_ENABLED is deprecated; set QL_THROTTLE_PER_IDENTITY_ENABLED=true "
                              "instead (now applies to MCP and gRPC too, not just REST).";

constexpr long PBKDF2_ITERATIONS = 600000;
// Rejections are mostly short waits; their results are made once and shared (they are immutable).
constexpr size_t SHARED_REJECTIONS = 4096;

nb::object intern(const char *s) { return nb::steal(PyUnicode_InternFromString(s)); }

// ---------------------------------------------------------------------------------------------
// Heap accounting of the limiter's containers, so that its memory per key can be measured.

std::atomic<long long> g_native_bytes{0};

template <class T> struct Counted {
    using value_type = T;
    Counted() noexcept = default;
    template <class U> Counted(const Counted<U> &) noexcept {}
    T *allocate(std::size_t n) {
        T *p = std::allocator<T>().allocate(n);
        g_native_bytes.fetch_add((long long)(n * sizeof(T)), std::memory_order_relaxed);
        return p;
    }
    void deallocate(T *p, std::size_t n) noexcept {
        g_native_bytes.fetch_sub((long long)(n * sizeof(T)), std::memory_order_relaxed);
        std::allocator<T>().deallocate(p, n);
    }
    template <class U> bool operator==(const Counted<U> &) const noexcept { return true; }
};

// ---------------------------------------------------------------------------------------------
// The sliding window of one key: times of its admitted requests, oldest first, in a ring that
// grows by doubling up to the per-window limit and no further. The oldest time is also kept beside
// the ring, so a rejection (the common case for a noisy key) does not touch the ring at all.

class Window {
  public:
    Window() = default;
    Window(const Window &) = delete;
    Window &operator=(const Window &) = delete;
    ~Window() { release(); }

    size_t size() const { return size_; }
    double front() const { return first_; }
    void pop_front() {
        head_ = head_ + 1 == cap_ ? 0 : head_ + 1;
        if (--size_)
            first_ = buf_[head_];
    }
    // Caller guarantees size() < limit.
    void push_back(double t, size_t limit) {
        if (size_ == cap_)
            grow(limit);
        size_t i = head_ + size_;
        if (i >= cap_)
            i -= cap_;
        buf_[i] = t;
        if (size_++ == 0)
            first_ = t;
    }

  private:
    void grow(size_t limit) {
        size_t ncap = cap_ ? cap_ * 2 : 4;
        if (ncap > limit)
            ncap = limit;
        double *nbuf = Counted<double>().allocate(ncap);
        for (size_t i = 0; i < size_; ++i) {
            size_t j = head_ + i;
            nbuf[i] = buf_[j >= cap_ ? j - cap_ : j];
        }
        release();
        buf_ = nbuf;
        cap_ = ncap;
        head_ = 0;
    }
    void release() {
        if (buf_)
            Counted<double>().deallocate(buf_, cap_);
        buf_ = nullptr;
    }

    double *buf_ = nullptr;
    double first_ = 0.0;
    size_t head_ = 0, size_ = 0, cap_ = 0;
};

// One tracked key: its place in the recency list, the time of its latest consume, its window.
// The key's bytes follow the record in the same allocation.
struct Entry {
    Entry *older = nullptr, *newer = nullptr;
    double last_seen = 0.0;
    uint64_t hash = 0;
    size_t key_len = 0;
    Window window;

    std::string_view key() const { return {reinterpret_cast<const char *>(this + 1), key_len}; }

    static Entry *make(std::string_view key, uint64_t hash) {
        char *mem = Counted<char>().allocate(sizeof(Entry) + key.size());
        Entry *e = new (mem) Entry();
        e->hash = hash;
        e->key_len = key.size();
        std::memcpy(mem + sizeof(Entry), key.data(), key.size());
        return e;
    }
    static void destroy(Entry *e) {
        size_t n = sizeof(Entry) + e->key_len;
        e->~Entry();
        Counted<char>().deallocate(reinterpret_cast<char *>(e), n);
    }
};

// Key to entry, open addressing with linear probing and at most half the slots in use. Each slot
// keeps the full hash, so a lookup touches one slot run and then only the entry it wants; a
// node-based map would chase two or three more pointers per lookup once the keys outgrow the cache.
class KeyTable {
  public:
    static constexpr size_t npos = ~size_t(0);

    size_t size() const { return size_; }

    size_t find(std::string_view key, uint64_t hash) const {
        if (slots_.empty())
            return npos;
        for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
            const Slot &s = slots_[i];
            if (!s.e)
                return npos;
            if (s.hash == hash && s.e->key() == key)
                return i;
        }
    }
    Entry *at(size_t i) const { return slots_[i].e; }

    // `e`'s key must be absent.
    void insert(Entry *e) {
        if ((size_ + 1) * 2 > slots_.size())
            rehash(slots_.empty() ? 16 : slots_.size() * 2);
        place(slots_, mask_, e);
        ++size_;
    }

    void erase(const Entry *e) {
        size_t i = e->hash & mask_;
        while (slots_[i].e != e)
            i = (i + 1) & mask_;
        // Backward-shift deletion: pull later members of the run into the hole unless that would
        // put them before their home slot.
        for (size_t j = i;;) {
            j = (j + 1) & mask_;
            if (!slots_[j].e)
                break;
            size_t home = slots_[j].hash & mask_;
            bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
            if (!stays) {
                slots_[i] = slots_[j];
                i = j;
            }
        }
        slots_[i] = Slot{};
        --size_;
    }

  private:
    struct Slot {
        uint64_t hash = 0;
        Entry *e = nullptr;
    };
    using Slots = std::vector<Slot, Counted<Slot>>;

    static void place(Slots &slots, size_t mask, Entry *e) {
        size_t i = e->hash & mask;
        while (slots[i].e)
            i = (i + 1) & mask;
        slots[i] = Slot{e->hash, e};
    }
    void rehash(size_t n) {
        Slots fresh(n);
        for (const Slot &s : slots_)
            if (s.e)
                place(fresh, n - 1, s.e);
        slots_.swap(fresh);
        mask_ = n - 1;
    }

    Slots slots_;
    size_t mask_ = 0, size_ = 0;
};

// Blocks on `mu` without holding the GIL, so that a thread that holds the mutex and needs the GIL
// back can always get it.
std::unique_lock<std::mutex> lock_without_gil(std::mutex &mu) {
    std::unique_lock<std::mutex> lk(mu, std::try_to_lock);
    if (!lk.owns_lock()) {
        nb::gil_scoped_release nogil;
        lk.lock();
    }
    return lk;
}

class Limiter {
  public:
    struct Outcome {
        bool allowed;
        double retry_after; // whole seconds, >= 1 when rejected
    };

    explicit Limiter(const Settings &s) : s_(s) {}
    ~Limiter() {
        for (Entry *e = oldest_; e;) {
            Entry *next = e->newer;
            Entry::destroy(e);
            e = next;
        }
    }
    Limiter(const Limiter &) = delete;
    Limiter &operator=(const Limiter &) = delete;

    const Settings &settings() const { return s_; }

    // A second __init__: new settings and no keys, under the mutex, so that a caller waiting for
    // it on another thread finds a consistent limiter afterwards.
    void reset(const Settings &s) {
        auto lk = lock_without_gil(mu_);
        for (Entry *e = oldest_; e;) {
            Entry *next = e->newer;
            keys_.erase(e);
            Entry::destroy(e);
            e = next;
        }
        oldest_ = newest_ = nullptr;
        s_ = s;
    }

    size_t tracked() {
        auto lk = lock_without_gil(mu_);
        return keys_.size();
    }

    // Pure native: no Python object is touched while the mutex is held.
    // `hash` is the key's own (randomised per process) string hash, which keeps chosen keys from
    // piling up in one probe run.
    Outcome consume(std::string_view key, uint64_t hash, double now) {
        auto lk = lock_without_gil(mu_);
        // Times taken under the lock never go backwards: a caller that read the clock before a
        // caller that got the lock first uses that caller's time. The recency order of the keys is
        // then also the order of their last_seen times, so idle keys all sit at the old end.
        if (now < latest_)
            now = latest_;
        else
            latest_ = now;
        const double cutoff = now - s_.window_seconds;
        evict_idle(now);

        Entry *e;
        size_t slot = keys_.find(key, hash);
        if (slot == KeyTable::npos) {
            e = Entry::make(key, hash);
            try {
                keys_.insert(e);
            } catch (...) {
                Entry::destroy(e);
                throw;
            }
        } else {
            e = keys_.at(slot);
            unlink(e);
        }
        link_newest(e);
        e->last_seen = now;

        Window &w = e->window;
        while (w.size() && w.front() <= cutoff)
            w.pop_front();
        if (w.size() >= (size_t)s_.max_requests) {
            double wait = std::ceil(w.front() + s_.window_seconds - now);
            return {false, wait < 1.0 ? 1.0 : wait};
        }
        w.push_back(now, (size_t)s_.max_requests);
        evict_over_cap();
        return {true, 0.0};
    }

  private:
    void unlink(Entry *e) {
        (e->older ? e->older->newer : oldest_) = e->newer;
        (e->newer ? e->newer->older : newest_) = e->older;
        e->older = e->newer = nullptr;
    }
    void link_newest(Entry *e) {
        e->older = newest_;
        e->newer = nullptr;
        (newest_ ? newest_->newer : oldest_) = e;
        newest_ = e;
    }
    void erase(Entry *e) {
        unlink(e);
        keys_.erase(e);
        Entry::destroy(e);
    }
    // Amortised O(1): stops at the first key that is not idle.
    void evict_idle(double now) {
        const double idle_cutoff = now - s_.key_ttl_seconds;
        while (oldest_ && oldest_->last_seen <= idle_cutoff)
            erase(oldest_);
    }
    void evict_over_cap() {
        while (keys_.size() > (size_t)s_.max_tracked_keys)
            erase(oldest_);
    }

    Settings s_;
    std::mutex mu_;
    KeyTable keys_;
    Entry *oldest_ = nullptr, *newest_ = nullptr;
    double latest_ = -std::numeric_limits<double>::infinity();
};

// ---------------------------------------------------------------------------------------------

// ---- native state behind the Python classes ----------------------------------------------------
// InMemoryThrottler and TokenBucket are ordinary classes built at import from native functions;
// their instances keep the native state in a base type made once per process, so importing the
// module again builds fresh classes without registering any type twice, and instances made before
// keep working.

struct LimiterObject {
    PyObject_HEAD
    Limiter *lim; // null until __init__
};

struct BucketObject {
    PyObject_HEAD
    double capacity, refill_rate, tokens, last_refill;
    PyObject *lock;    // asyncio.Lock; null until __init__
    PyObject *lock_ns; // its __dict__
};

void limiter_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    delete ((LimiterObject *)self)->lim;
    tp->tp_free(self);
    Py_DECREF(tp);
}

int bucket_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(((BucketObject *)self)->lock);
    Py_VISIT(((BucketObject *)self)->lock_ns);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int bucket_clear(PyObject *self) {
    Py_CLEAR(((BucketObject *)self)->lock);
    Py_CLEAR(((BucketObject *)self)->lock_ns);
    return 0;
}

void bucket_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    bucket_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// The four numbers of a bucket, readable and assignable like the attributes of a Python object.
const char *const BUCKET_FIELDS[] = {"capacity", "refill_rate", "tokens", "last_refill"};

double &bucket_field(PyObject *self, void *closure) {
    auto *b = (BucketObject *)self;
    switch ((int)(intptr_t)closure) {
    case 0: return b->capacity;
    case 1: return b->refill_rate;
    case 2: return b->tokens;
    default: return b->last_refill;
    }
}

PyObject *bucket_get(PyObject *self, void *closure) { return PyFloat_FromDouble(bucket_field(self, closure)); }

int bucket_set(PyObject *self, PyObject *value, void *closure) {
    const char *name = BUCKET_FIELDS[(intptr_t)closure];
    if (!value) {
        PyErr_Format(PyExc_AttributeError, "cannot delete attribute '%s' of a TokenBucket", name);
        return -1;
    }
    double d = PyFloat_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s must be a number, not %.200s", name, Py_TYPE(value)->tp_name);
        }
        return -1;
    }
    bucket_field(self, closure) = d;
    return 0;
}

PyObject *bucket_get_lock(PyObject *self, void *) {
    PyObject *lock = ((BucketObject *)self)->lock;
    return Py_NewRef(lock ? lock : Py_None);
}

PyTypeObject *native_base(PyType_Spec &type_def) {
    PyObject *t = PyType_FromSpec(&type_def);
    if (!t)
        throw nb::python_error();
    return (PyTypeObject *)t;
}

PyTypeObject *limiter_base() {
    static PyType_Slot slots[] = {{Py_tp_dealloc, (void *)limiter_dealloc},
                                  {Py_tp_doc, (void *)"Native state of an InMemoryThrottler."},
                                  {0, nullptr}};
    static PyType_Spec type_def = {"quellon_runtime.throttle._SlidingWindowState", sizeof(LimiterObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
    static PyTypeObject *tp = native_base(type_def);
    return tp;
}

PyTypeObject *bucket_base() {
    static PyGetSetDef getset[] = {
        {"capacity", bucket_get, bucket_set, "Most tokens the bucket can hold.", (void *)0},
        {"refill_rate", bucket_get, bucket_set, "Tokens added per second.", (void *)1},
        {"tokens", bucket_get, bucket_set, "Tokens available now.", (void *)2},
        {"last_refill", bucket_get, bucket_set, "Monotonic time of the last refill.", (void *)3},
        {"_lock", bucket_get_lock, nullptr, "The asyncio lock that serialises acquire calls.", nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr}};
    static PyType_Slot slots[] = {{Py_tp_dealloc, (void *)bucket_dealloc},
                                  {Py_tp_traverse, (void *)bucket_traverse},
                                  {Py_tp_clear, (void *)bucket_clear},
                                  {Py_tp_getset, (void *)getset},
                                  {Py_tp_doc, (void *)"Native state of a TokenBucket."},
                                  {0, nullptr}};
    static PyType_Spec type_def = {"quellon_runtime.throttle._TokenBucketState", sizeof(BucketObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    static PyTypeObject *tp = native_base(type_def);
    return tp;
}

Limiter &limiter_of(nb::handle self) {
    if (!PyObject_TypeCheck(self.ptr(), limiter_base()))
        ql::raise_type_error("self must be an InMemoryThrottler, not " + ql::type_name_of(self));
    Limiter *lim = ((LimiterObject *)self.ptr())->lim;
    if (!lim)
        ql::raise_type_error("InMemoryThrottler.__init__() was not called");
    return *lim;
}

BucketObject &bucket_of(nb::handle self) {
    if (!PyObject_TypeCheck(self.ptr(), bucket_base()))
        ql::raise_type_error("self must be a TokenBucket, not " + ql::type_name_of(self));
    auto *b = (BucketObject *)self.ptr();
    if (!b->lock || !b->lock_ns)
        ql::raise_type_error("TokenBucket.__init__() was not called");
    return *b;
}

// The namespace of a new asyncio lock, read on every acquire to see whether it is taken.
nb::object lock_namespace(nb::handle lock) {
    PyObject *ns = PyObject_GenericGetDict(lock.ptr(), nullptr);
    if (!ns)
        throw nb::python_error();
    if (!PyDict_Check(ns)) {
        Py_DECREF(ns);
        ql::raise_type_error("lock namespace is not a dict");
    }
    return nb::steal(ns);
}

struct State {
    ql::Logger log{"runtime.throttle"};
    nb::object environ_get, monotonic, clock, asyncio_lock, pbkdf2, threading_lock;
    nb::object module_dict, result_cls, allowed, exceeded_cls, counter, warn_once, limiter_cls, bucket_cls;
    std::vector<nb::object> rejected = std::vector<nb::object>(SHARED_REJECTIONS + 1);
    nb::object k_locked = intern("_locked"), k_waiters = intern("_waiters"), k_acquire = intern("acquire"),
               k_release = intern("release"), k_add = intern("add"), k_cfg = intern("cfg"),
               k_limiter = intern("_per_identity_limiter"), k_state = intern("_per_identity_limiter_state"),
               k_limiter_lock = intern("_per_identity_limiter_lock"), k_counter = intern("_throttle_rejections"),
               k_sha256 = intern("sha256"), addr_prefix = intern("addr:"), k_spec = intern("__spec__"),
               k_limiter_cls = intern("InMemoryThrottler"), k_bucket_cls = intern("TokenBucket"),
               acquire_qualname = intern("TokenBucket.acquire");
};
State *S;

double clock_now() {
    nb::object clock = S->clock; // held: the clock may be swapped while it runs
    PyObject *r = PyObject_CallNoArgs(clock.ptr());
    if (!r)
        throw nb::python_error();
    double d = PyFloat_AsDouble(r);
    Py_DECREF(r);
    if (d == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return d;
}

nb::object env_get(const char *name) { return S->environ_get(name); }

// str.strip() bounds, by the host's own notion of white space.
std::pair<Py_ssize_t, Py_ssize_t> stripped_bounds(nb::handle s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s.ptr());
    int kind = PyUnicode_KIND(s.ptr());
    const void *d = PyUnicode_DATA(s.ptr());
    Py_ssize_t i = 0, j = n;
    while (i < j && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, d, i)))
        ++i;
    while (j > i && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, d, j - 1)))
        --j;
    return {i, j};
}

bool is_blank(nb::handle s) {
    auto [i, j] = stripped_bounds(s);
    return i == j;
}

// Lower-cases the code points [i, j) when all are ASCII (no other character lower-cases into one of
// the words compared against); false when the text is longer than `max`.
bool ascii_lower(nb::handle s, Py_ssize_t i, Py_ssize_t j, size_t max, std::string &out) {
    if ((size_t)(j - i) > max)
        return false;
    int kind = PyUnicode_KIND(s.ptr());
    const void *d = PyUnicode_DATA(s.ptr());
    out.clear();
    for (Py_ssize_t k = i; k < j; ++k) {
        Py_UCS4 c = PyUnicode_READ(kind, d, k);
        if (c >= 128)
            return false;
        out += (char)(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return true;
}

bool truthy_text(nb::handle s) {
    auto [i, j] = stripped_bounds(s);
    std::string v;
    if (!ascii_lower(s, i, j, 4, v))
        return false;
    return v == "1" || v == "true" || v == "yes" || v == "on";
}

// int(text) with the host's rules; `dflt` when unset, blank or not an integer.
nb::object int_or_default(nb::handle text, nb::handle dflt) {
    if (text.is_none() || is_blank(text))
        return nb::borrow(dflt);
    PyObject *r = PyLong_FromUnicodeObject(text.ptr(), 10);
    if (!r) {
        if (PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            return nb::borrow(dflt);
        }
        throw nb::python_error();
    }
    return nb::steal(r);
}

nb::handle dict_get(nb::handle d, nb::handle key) {
    PyObject *v = PyDict_GetItemWithError(d.ptr(), key.ptr());
    if (!v && PyErr_Occurred())
        throw nb::python_error();
    return v;
}

// SHA-256 (FIPS 180-4). A principal is hashed on every request; hashlib would cost an object and
// two method calls per key, more than the hash itself.
class Sha256 {
  public:
    void update(const unsigned char *p, size_t n) {
        total_ += n;
        if (fill_) {
            size_t take = n < 64 - fill_ ? n : 64 - fill_;
            std::memcpy(block_ + fill_, p, take);
            fill_ += take;
            p += take;
            n -= take;
            if (fill_ < 64)
                return;
            compress(block_);
            fill_ = 0;
        }
        for (; n >= 64; p += 64, n -= 64)
            compress(p);
        std::memcpy(block_, p, n);
        fill_ = n;
    }
    // The first 8 bytes of the digest, big-endian, in one integer.
    uint64_t finish_prefix64() {
        uint64_t bits = (uint64_t)total_ * 8;
        block_[fill_++] = 0x80;
        if (fill_ > 56) {
            std::memset(block_ + fill_, 0, 64 - fill_);
            compress(block_);
            fill_ = 0;
        }
        std::memset(block_ + fill_, 0, 56 - fill_);
        for (int i = 0; i < 8; ++i)
            block_[56 + i] = (unsigned char)(bits >> (56 - 8 * i));
        compress(block_);
        return (uint64_t)h_[0] << 32 | h_[1];
    }

  private:
    static uint32_t rotr(uint32_t x, int n) { return x >> n | x << (32 - n); }
    static void step(uint32_t a, uint32_t b, uint32_t c, uint32_t &d, uint32_t e, uint32_t f, uint32_t g,
                      uint32_t &h, uint32_t kw) {
        uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + (g ^ (e & (f ^ g))) + kw;
        uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) | (c & (a | b)));
        d += t1;
        h = t1 + t2;
    }
    void compress(const unsigned char *p) {
        static const uint32_t K[64] = {
            0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
            0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
            0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
            0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
            0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
            0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
            0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
            0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
        uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = (uint32_t)p[4 * i] << 24 | (uint32_t)p[4 * i + 1] << 16 | (uint32_t)p[4 * i + 2] << 8 | p[4 * i + 3];
        for (int i = 16; i < 64; ++i) {
            uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4], f = h_[5], g = h_[6], h = h_[7];
        // Eight rounds per step, written out so that the working variables change roles instead of
        // being moved.
        for (int i = 0; i < 64; i += 8) {
            step(a, b, c, d, e, f, g, h, K[i + 0] + w[i + 0]);
            step(h, a, b, c, d, e, f, g, K[i + 1] + w[i + 1]);
            step(g, h, a, b, c, d, e, f, K[i + 2] + w[i + 2]);
            step(f, g, h, a, b, c, d, e, K[i + 3] + w[i + 3]);
            step(e, f, g, h, a, b, c, d, K[i + 4] + w[i + 4]);
            step(d, e, f, g, h, a, b, c, K[i + 5] + w[i + 5]);
            step(c, d, e, f, g, h, a, b, K[i + 6] + w[i + 6]);
            step(b, c, d, e, f, g, h, a, K[i + 7] + w[i + 7]);
        }
        h_[0] += a;
        h_[1] += b;
        h_[2] += c;
        h_[3] += d;
        h_[4] += e;
        h_[5] += f;
        h_[6] += g;
        h_[7] += h;
    }

    uint32_t h_[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    unsigned char block_[64];
    size_t fill_ = 0, total_ = 0;
};

// `prefix` followed by the lower-case hexadecimal of 8 bytes, as a new ASCII str.
nb::object hex16(std::string_view prefix, const unsigned char *p) {
    static const char digits[] = "0123456789abcdef";
    PyObject *r = PyUnicode_New((Py_ssize_t)prefix.size() + 16, 127);
    if (!r)
        throw nb::python_error();
    char *out = (char *)PyUnicode_1BYTE_DATA(r);
    std::memcpy(out, prefix.data(), prefix.size());
    out += prefix.size();
    for (int i = 0; i < 8; ++i) {
        out[2 * i] = digits[p[i] >> 4];
        out[2 * i + 1] = digits[p[i] & 15];
    }
    return nb::steal(r);
}

nb::object hex16(std::string_view prefix, nb::handle digest) {
    const unsigned char *p = (const unsigned char *)PyBytes_AsString(digest.ptr());
    if (!p)
        throw nb::python_error();
    if (PyBytes_GET_SIZE(digest.ptr()) < 8)
        ql::raise_value_error("digest too short");
    return hex16(prefix, p);
}

// ---- argument checks --------------------------------------------------------------------------

nb::object as_index(nb::handle v, const char *param) {
    if (!PyIndex_Check(v.ptr()))
        ql::raise_type_error(std::string(param) + " must be an int, not " + ql::type_name_of(v));
    PyObject *i = PyNumber_Index(v.ptr());
    if (!i)
        throw nb::python_error();
    return nb::steal(i);
}

// A setting that must be a positive integer; absurdly large ones mean "no limit in practice".
long long positive_int(nb::handle v, const char *param) {
    nb::object i = as_index(v, param);
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (x == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (overflow < 0 || (overflow == 0 && x <= 0))
        ql::raise_value_error(std::string(param) + " must be > 0");
    return overflow > 0 ? std::numeric_limits<long long>::max() : x;
}

double positive_seconds(nb::handle v, const char *param) {
    nb::object i = as_index(v, param);
    int sign = PyObject_RichCompareBool(i.ptr(), nb::int_(0).ptr(), Py_GT);
    if (sign < 0)
        throw nb::python_error();
    if (!sign)
        ql::raise_value_error(std::string(param) + " must be > 0");
    double d = PyLong_AsDouble(i.ptr());
    if (d == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return d;
}

double real_number(nb::handle v, const char *param) {
    double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            ql::raise_type_error(std::string(param) + " must be a number, not " + ql::type_name_of(v));
        }
        throw nb::python_error();
    }
    return d;
}

// ---- sliding-window limiter -------------------------------------------------------------------

Settings limiter_settings(nb::handle max_requests, nb::handle window_seconds, nb::handle max_tracked_keys,
                          nb::handle key_ttl_seconds) {
    Settings s;
    s.max_requests = positive_int(max_requests, "max_requests");
    s.window_seconds = positive_seconds(window_seconds, "window_seconds");
    s.max_tracked_keys = positive_int(max_tracked_keys, "max_tracked_keys");
    s.key_ttl_seconds = positive_seconds(key_ttl_seconds, "key_ttl_seconds");
    return s;
}

nb::object result_of(const Limiter::Outcome &o) {
    if (o.allowed)
        return S->allowed;
    if (o.retry_after <= (double)SHARED_REJECTIONS) {
        nb::object &r = S->rejected[(size_t)o.retry_after];
        if (!r.is_valid())
            r = S->result_cls(false, (long)o.retry_after);
        return r;
    }
    nb::object secs = nb::steal(PyLong_FromDouble(o.retry_after));
    if (!secs.is_valid())
        throw nb::python_error();
    return S->result_cls(false, secs);
}

// What the Redis backend uses of this file (throttle_redis.hpp).
nb::object verdict(bool allowed, double retry_after) { return result_of(Limiter::Outcome{allowed, retry_after}); }
ql::Logger &throttle_log() { return S->log; }
bool test_clock_installed() { return !S->clock.is(S->monotonic); }

nb::object consume(Limiter &lim, nb::handle key) {
    if (!PyUnicode_Check(key.ptr()))
        ql::raise_type_error("key must be a str, not " + ql::type_name_of(key));
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(key.ptr(), &n);
    nb::object encoded;
    if (!p) {
        // Lone surrogates have no UTF-8 form; this byte form is still one-to-one.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
            throw nb::python_error();
        PyErr_Clear();
        encoded = nb::steal(PyUnicode_AsEncodedString(key.ptr(), "utf-8", "surrogatepass"));
        if (!encoded.is_valid())
            throw nb::python_error();
        p = PyBytes_AS_STRING(encoded.ptr());
        n = PyBytes_GET_SIZE(encoded.ptr());
    }
    // str's own hash even for a subclass that overrides __hash__: the key is its text.
    Py_hash_t hash = PyUnicode_Type.tp_hash(key.ptr());
    if (hash == -1)
        throw nb::python_error();
    double now = clock_now();
    return result_of(lim.consume(std::string_view(p, (size_t)n), (uint64_t)hash, now));
}

// ---- token bucket -----------------------------------------------------------------------------

// True when the asyncio lock is free with nobody queued, so that taking and dropping it around a
// body that never suspends would change nothing. Reads the lock's own namespace (its `_locked` and
// `_waiters`); anything unexpected there takes the lock for real.
bool lock_is_idle(const BucketObject &b) {
    PyObject *locked = PyDict_GetItemWithError(b.lock_ns, S->k_locked.ptr());
    if (locked != Py_False) {
        PyErr_Clear();
        return false;
    }
    PyObject *waiters = PyDict_GetItemWithError(b.lock_ns, S->k_waiters.ptr());
    if (waiters == Py_None)
        return true;
    if (!waiters) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t len = PyObject_Length(waiters);
    if (len < 0)
        PyErr_Clear();
    return len == 0;
}

nb::object exceeded_error() { return S->exceeded_cls(EXCEEDED_MSG); }

void count_rejection() {
    nb::handle counter = dict_get(S->module_dict, S->k_counter);
    if (!counter.is_valid())
        counter = S->counter;
    PyObject *r = PyObject_CallMethodOneArg(counter.ptr(), S->k_add.ptr(), nb::int_(1).ptr());
    if (!r)
        throw nb::python_error();
    Py_DECREF(r);
}

struct ReleaseLock {
    nb::object lock; // invalid when not taken
    ~ReleaseLock() {
        if (!lock.is_valid())
            return;
        PyObject *r = PyObject_CallMethodNoArgs(lock.ptr(), S->k_release.ptr());
        if (!r)
            PyErr_WriteUnraisable(lock.ptr());
        Py_XDECREF(r);
    }
};

// `self` stays referenced by the coroutine, so `b` outlives every suspension.
ql::Task acquire_body(nb::object self, double amount) {
    BucketObject &b = *(BucketObject *)self.ptr();
    ReleaseLock held;
    if (!lock_is_idle(b)) {
        nb::object lock = nb::borrow(b.lock);
        co_await lock.attr(S->k_acquire)();
        held.lock = lock;
    }
    double now = clock_now();
    double elapsed = now - b.last_refill;
    double candidate = b.tokens + elapsed * b.refill_rate;
    // NaN (infinite rate, no time elapsed) is not below the capacity either: the bucket fills.
    b.tokens = candidate < b.capacity ? candidate : b.capacity;
    b.last_refill = now;
    if (b.tokens >= amount) {
        b.tokens -= amount;
        co_return nb::none();
    }
    count_rejection();
    ql::raise(exceeded_error());
}

nb::object acquire(ql::Args &a) {
    bucket_of(a[0]);
    nb::object amount = PyLong_CheckExact(a[1].ptr()) ? nb::borrow(a[1]) : as_index(a[1], "amount");
    double n = PyLong_AsDouble(amount.ptr());
    if (n == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    // A negative amount would hand tokens back beyond the capacity.
    if (n < 0)
        ql::raise_value_error("amount must be >= 0");
    return ql::coroutine(acquire_body(nb::borrow(a[0]), n), S->acquire_qualname);
}

// ---- configuration ----------------------------------------------------------------------------

// The text of a setting for messages; a runaway value is shown by its length only.
std::string shown(nb::handle text) {
    if (PyUnicode_GET_LENGTH(text.ptr()) > 40)
        return "a value of " + std::to_string(PyUnicode_GET_LENGTH(text.ptr())) + " characters";
    return ql::repr_of(text);
}

// An integer literal too long for int() (beyond the interpreter's digit limit) is still a number:
// it overflows rather than being "not an integer".
bool looks_like_long_integer(nb::handle text) {
    auto [i, j] = stripped_bounds(text);
    int kind = PyUnicode_KIND(text.ptr());
    const void *d = PyUnicode_DATA(text.ptr());
    if (i < j && (PyUnicode_READ(kind, d, i) == '+' || PyUnicode_READ(kind, d, i) == '-'))
        ++i;
    if (j - i < 20)
        return false;
    for (Py_ssize_t k = i; k < j; ++k) {
        Py_UCS4 c = PyUnicode_READ(kind, d, k);
        if (!Py_UNICODE_ISDECIMAL(c) && c != '_')
            return false;
    }
    return true;
}

struct IdentityVar {
    const char *canonical, *legacy, *param;
    long dflt;
};
const IdentityVar IDENTITY_VARS[4] = {
    {"QL_THROTTLE_PER_IDENTITY_MAX_REQUESTS", "QL_REST_THROTTLE_MAX_REQUESTS", "max_requests", 120},
    {"QL_THROTTLE_PER_IDENTITY_WINDOW_SECONDS", "QL_REST_THROTTLE_WINDOW_SECONDS", "window_seconds", 60},
    {"QL_THROTTLE_PER_IDENTITY_MAX_TRACKED_KEYS", "QL_REST_THROTTLE_MAX_TRACKED_KEYS", "max_tracked_keys", 10000},
    {"QL_THROTTLE_PER_IDENTITY_KEY_TTL_SECONDS", "QL_REST_THROTTLE_KEY_TTL_SECONDS", "key_ttl_seconds", 3600},
};

// The variable that supplies a per-identity setting, and its text: the canonical variable when it
// has a value, else the legacy one.
std::pair<const char *, nb::object> identity_source(const IdentityVar &v) {
    nb::object text = env_get(v.canonical);
    if (!text.is_none() && !is_blank(text))
        return {v.canonical, text};
    return {v.legacy, env_get(v.legacy)};
}

// One per-identity setting as parsed: unset, blank or non-integer text gives the default; any
// integer is returned as it is (its range is checked where the limiter is built). A literal too
// long for int() is still a number, not "not an integer", so it is refused rather than defaulted.
nb::object identity_setting(const IdentityVar &v) {
    auto [name, text] = identity_source(v);
    nb::object d = nb::int_(v.dflt);
    nb::object r = int_or_default(text, d);
    if (r.is(d) && !text.is_none() && looks_like_long_integer(text))
        ql::raise_value_error(std::string(name) + " must be at most 9223372036854775807, not " + shown(text));
    return r;
}

nb::object per_identity_throttle_config() {
    return nb::make_tuple(identity_setting(IDENTITY_VARS[0]), identity_setting(IDENTITY_VARS[1]),
                          identity_setting(IDENTITY_VARS[2]), identity_setting(IDENTITY_VARS[3]));
}

// Every value of the configuration from 1 to 2**63-1, checked in the constructor's order: the
// constructor's own message first, the variable that supplied the value after it.
void check_identity_config(nb::handle cfg) {
    for (size_t i = 0; i < 4; ++i) {
        nb::object v = nb::borrow(PyTuple_GET_ITEM(cfg.ptr(), (Py_ssize_t)i));
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
        if (x == -1 && PyErr_Occurred())
            throw nb::python_error();
        if (overflow == 0 && x > 0)
            continue;
        auto [name, text] = identity_source(IDENTITY_VARS[i]);
        std::string shown_text = text.is_none() ? ql::repr_of(v) : shown(text);
        if (overflow > 0)
            ql::raise_value_error(std::string(name) + " must be at most 9223372036854775807, not " + shown_text);
        ql::raise_value_error(std::string(IDENTITY_VARS[i].param) + " must be > 0 (" + name + "=" + shown_text + ")");
    }
}

bool per_identity_throttle_enabled() {
    nb::object canonical = env_get("QL_THROTTLE_PER_IDENTITY_ENABLED");
    if (!canonical.is_none())
        return truthy_text(canonical);
    nb::object legacy = env_get("QL_REST_THROTTLE_ENABLED");
    if (!legacy.is_none() && truthy_text(legacy)) {
        S->warn_once();
        return true;
    }
    return false;
}

struct ReleaseThreadingLock {
    nb::handle lock;
    ~ReleaseThreadingLock() {
        PyObject *r = PyObject_CallMethodNoArgs(lock.ptr(), S->k_release.ptr());
        if (!r)
            PyErr_WriteUnraisable(lock.ptr());
        Py_XDECREF(r);
    }
};

nb::object get_per_identity_throttler() {
    nb::object cfg = per_identity_throttle_config();
    check_identity_config(cfg);
    bool shared = throttle_backend() == Backend::Redis;
    nb::object wanted = cfg;
    if (shared) // a new URL or failure mode makes a new limiter, as new limits do
        wanted = nb::make_tuple(cfg[0], cfg[1], cfg[2], cfg[3], "redis", env_get("QL_THROTTLE_REDIS_URL"),
                                env_get("QL_THROTTLE_REDIS_FAILURE_MODE"));
    nb::object lock = nb::borrow(dict_get(S->module_dict, S->k_limiter_lock));
    if (!lock.is_valid())
        ql::raise(PyExc_AttributeError, "module has no attribute '_per_identity_limiter_lock'");
    lock.attr(S->k_acquire)(); // waits with the GIL released
    ReleaseThreadingLock release{lock};
    nb::object current = nb::borrow(dict_get(S->module_dict, S->k_limiter));
    nb::object state = nb::borrow(dict_get(S->module_dict, S->k_state));
    if (!state.is_valid())
        ql::raise(PyExc_AttributeError, "module has no attribute '_per_identity_limiter_state'");
    nb::object stored = state[S->k_cfg];
    if (!current.is_valid() || current.is_none() || !stored.equal(wanted)) {
        nb::tuple c = nb::borrow<nb::tuple>(cfg);
        // Through the module's name, as Python code would: a class patched in there is honoured.
        nb::object cls = nb::borrow(dict_get(S->module_dict, S->k_limiter_cls));
        if (!cls.is_valid())
            cls = S->limiter_cls;
        if (shared)
            cls = redis_limiter_cls();
        current = cls(nb::arg("max_requests") = c[0], nb::arg("window_seconds") = c[1],
                      nb::arg("max_tracked_keys") = c[2], nb::arg("key_ttl_seconds") = c[3]);
        S->module_dict[S->k_limiter] = current;
        state[S->k_cfg] = wanted;
    }
    return current;
}

nb::object identity_throttle_key(nb::handle principal, nb::handle fallback) {
    ql::require_str_or_none(principal, "principal");
    ql::require_str(fallback, "fallback");
    if (!principal.is_none() && PyUnicode_GET_LENGTH(principal.ptr()) > 0 &&
        PyUnicode_CompareWithASCIIString(principal.ptr(), "unknown") != 0) {
        // The str keeps its UTF-8 form once made; lone surrogates raise the codec's own error.
        Py_ssize_t n = 0;
        const char *text = PyUnicode_AsUTF8AndSize(principal.ptr(), &n);
        if (!text)
            throw nb::python_error();
        Sha256 h;
        h.update((const unsigned char *)text, (size_t)n);
        uint64_t head = h.finish_prefix64();
        unsigned char bytes[8];
        for (int i = 0; i < 8; ++i)
            bytes[i] = (unsigned char)(head >> (56 - 8 * i));
        return hex16("principal:", bytes);
    }
    PyObject *r = PyUnicode_Concat(S->addr_prefix.ptr(), fallback.ptr());
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

nb::object fingerprint_throttle_credential(nb::handle token, nb::handle salt) {
    ql::require_str(token, "token");
    if (!PyBytes_Check(salt.ptr()))
        ql::raise_type_error("salt must be bytes, not " + ql::type_name_of(salt));
    nb::object data = nb::steal(PyUnicode_AsUTF8String(token.ptr()));
    if (!data.is_valid())
        throw nb::python_error();
    // hashlib drops the GIL while deriving, so callers on other threads run meanwhile.
    nb::object derived = S->pbkdf2(S->k_sha256, data, salt, PBKDF2_ITERATIONS);
    return hex16("token:", derived);
}

// ---- classes ----------------------------------------------------------------------------------

// unittest.mock checks a class's construction against the signature of `__init__.__call__` unless
// `__init__` is a Python function; answering `__call__` with the function itself (which is what
// calling it does) lets create_autospec check constructor arguments.
nb::object with_checked_init(nb::object cls) {
    nb::object init = nb::getattr(cls, "__init__"); // a native function returns itself from its class
    nb::setattr(init, "__call__", init);
    return cls;
}

nb::object build_in_memory_throttler() {
    ql::ClassBuilder cb(MOD, "InMemoryThrottler",
                        "Per-key sliding-window limiter: at most max_requests admitted requests per key in any "
                        "window_seconds, over at most max_tracked_keys keys, each dropped after key_ttl_seconds "
                        "without a call. Thread-safe.");
    cb.method(
        "__init__",
        {ql::arg("self"), ql::kwonly("max_requests"), ql::kwonly("window_seconds"),
         ql::kwonly("max_tracked_keys", nb::int_(10000)), ql::kwonly("key_ttl_seconds", nb::int_(3600))},
        [](ql::Args &a) -> nb::object {
            if (!PyObject_TypeCheck(a[0].ptr(), limiter_base()))
                ql::raise_type_error("self must be an InMemoryThrottler, not " + ql::type_name_of(a[0]));
            Settings s = limiter_settings(a[1], a[2], a[3], a[4]);
            auto *obj = (LimiterObject *)a[0].ptr();
            if (obj->lim)
                obj->lim->reset(s);
            else
                obj->lim = new Limiter(s);
            return nb::none();
        },
        "Validate and store the settings; the limiter starts with no keys.");
    cb.method(
        "consume", {ql::arg("self"), ql::arg("key")}, [](ql::Args &a) { return consume(limiter_of(a[0]), a[1]); },
        "Count one request for key if the window admits it; never raises to throttle.");
    cb.property(
        "tracked_key_count", [](nb::handle self) { return nb::int_(limiter_of(self).tracked()); },
        "Number of keys currently tracked.");
    cb.property("_max_requests", [](nb::handle self) { return nb::int_(limiter_of(self).settings().max_requests); });
    cb.property("_window_seconds",
                [](nb::handle self) { return nb::float_(limiter_of(self).settings().window_seconds); });
    cb.property("_max_tracked_keys",
                [](nb::handle self) { return nb::int_(limiter_of(self).settings().max_tracked_keys); });
    cb.property("_key_ttl_seconds",
                [](nb::handle self) { return nb::float_(limiter_of(self).settings().key_ttl_seconds); });
    return with_checked_init(cb.build((PyObject *)limiter_base()));
}

nb::object build_token_bucket() {
    ql::ClassBuilder cb(MOD, "TokenBucket",
                        "Process-wide token bucket: holds up to capacity tokens, refilled at refill_rate tokens "
                        "per second; each admitted call takes some.");
    cb.method(
        "__init__", {ql::arg("self"), ql::arg("capacity"), ql::arg("refill_rate")},
        [](ql::Args &a) -> nb::object {
            if (!PyObject_TypeCheck(a[0].ptr(), bucket_base()))
                ql::raise_type_error("self must be a TokenBucket, not " + ql::type_name_of(a[0]));
            double c = real_number(a[1], "capacity");
            double r = real_number(a[2], "refill_rate");
            nb::object lock = S->asyncio_lock();
            nb::object ns = lock_namespace(lock);
            double now = clock_now();
            auto *b = (BucketObject *)a[0].ptr();
            b->capacity = b->tokens = c;
            b->refill_rate = r;
            b->last_refill = now;
            Py_XSETREF(b->lock, lock.release().ptr());
            Py_XSETREF(b->lock_ns, ns.release().ptr());
            return nb::none();
        },
        "A full bucket: capacity tokens now, refill_rate more per second.");
    cb.async_method("acquire", {ql::arg("self"), ql::arg("amount", nb::int_(1))}, acquire,
                    "Take amount tokens after refilling, or raise ThrottleExceeded.");
    return with_checked_init(cb.build((PyObject *)bucket_base()));
}

// The global bucket and the per-identity state, from the environment: at import, and again when
// importlib.reload() hands the module a new __spec__.
void load_environment(nb::handle m) {
    auto env_or = [](const char *name, const char *dflt) {
        nb::object v = env_get(name);
        return v.is_none() ? nb::object(nb::str(dflt)) : v;
    };
    // float() of the text, as the host would convert it; then a bucket that could never admit
    // (no burst, NaN) or never reject (infinite) is refused, naming the variable. A refill rate of
    // zero is a fixed allowance of the burst, which is a valid setting.
    auto setting = [&](const char *name, const char *dflt, bool zero_ok) {
        nb::object text = env_or(name, dflt);
        PyObject *f = PyFloat_FromString(text.ptr());
        if (!f)
            throw nb::python_error();
        nb::object v = nb::steal(f);
        double x = PyFloat_AS_DOUBLE(f);
        if (!std::isfinite(x) || x < 0 || (x == 0 && !zero_ok))
            ql::raise_value_error(std::string(name) + " must be a finite number " + (zero_ok ? ">= 0" : "> 0") +
                                  ", not " + shown(text));
        return v;
    };
    nb::object burst = setting("QL_THROTTLE_BURST", "50", false);
    nb::object rate = setting("QL_THROTTLE_REFILL_RATE", "10.0", true);
    nb::object disabled = env_or("QL_THROTTLE_DISABLED", "false");
    std::string flag;
    bool active = ascii_lower(disabled, 0, PyUnicode_GET_LENGTH(disabled.ptr()), 5, flag) &&
                  (flag == "0" || flag == "false" || flag == "no");
    nb::object inf = nb::float_(std::numeric_limits<double>::infinity());
    nb::object bucket = active && throttle_backend() == Backend::Redis ? redis_bucket_cls()(burst, rate)
                        : active                                      ? S->bucket_cls(burst, rate)
                                                                      : S->bucket_cls(inf, inf);

    nb::dict state;
    state["cfg"] = nb::none();
    nb::object lock = S->threading_lock();
    // Nothing is assigned until everything above succeeded.
    m.attr("burst") = burst;
    m.attr("rate") = rate;
    m.attr("global_throttler") = bucket;
    m.attr("_per_identity_limiter") = nb::none();
    m.attr("_per_identity_limiter_state") = state;
    m.attr("_per_identity_limiter_lock") = lock;
}

// importlib.reload() runs nothing of an extension module again; it does assign the module a newly
// found __spec__ first. This class of the module notices that and reads the environment again, as
// re-running a Python module's body would.
nb::object build_module_class() {
    ql::ClassBuilder cb(MOD, "_ThrottleModule", "Module type of quellon_runtime.throttle.");
    cb.method("__setattr__", {ql::arg("self"), ql::arg("name"), ql::arg("value")}, [](ql::Args &a) -> nb::object {
        bool reload = false;
        if (PyUnicode_Check(a[1].ptr()) && PyUnicode_Compare(a[1].ptr(), S->k_spec.ptr()) == 0 &&
            !a[2].is_none() && PyModule_Check(a[0].ptr())) {
            nb::handle old = dict_get(PyModule_GetDict(a[0].ptr()), S->k_spec);
            reload = old.is_valid() && !old.is_none() && !old.is(a[2]);
        }
        if (PyObject_GenericSetAttr(a[0].ptr(), a[1].ptr(), a[2].ptr()) < 0)
            throw nb::python_error();
        if (reload && PyModule_GetDict(a[0].ptr()) == S->module_dict.ptr()) {
            load_environment(a[0]);
            PyObject *r = PyObject_CallMethod(S->warn_once.ptr(), "cache_clear", nullptr);
            if (!r)
                throw nb::python_error();
            Py_DECREF(r);
        }
        return nb::none();
    });
    return cb.build(ql::import("types").attr("ModuleType"));
}

void init_state(nb::module_ &m) {
    S = &ql::forever<State>();
    S->module_dict = nb::borrow(PyModule_GetDict(m.ptr()));
    S->environ_get = ql::import("os").attr("environ").attr("get");
    S->monotonic = ql::import("time").attr("monotonic");
    S->clock = S->monotonic;
    S->asyncio_lock = ql::import("asyncio").attr("Lock");
    S->threading_lock = ql::import("threading").attr("Lock");
    S->pbkdf2 = ql::import("hashlib").attr("pbkdf2_hmac");
    m.attr("logger") = S->log.object();
    nb::object meter = ql::import("opentelemetry.metrics").attr("get_meter")("runtime");
    m.attr("_meter") = meter;
    S->counter = meter.attr("create_counter")(
        "connector.throttle_rejections", nb::arg("unit") = "1",
        nb::arg("description") = "Requests rejected by the global token-bucket rate limiter");
    m.attr("_throttle_rejections") = S->counter;
}

void register_records(nb::module_ &m) {
    S->result_cls = ql::make_record(
        MOD, "ThrottleResult", {ql::field("allowed"), ql::field("retry_after_seconds", nb::int_(0))}, true,
        "Outcome of one consume: whether the request is admitted and, if not, the whole seconds to wait.",
        [](ql::ClassBuilder &cb) {
            nb::dict ann;
            ann["allowed"] = ql::import("builtins").attr("bool");
            ann["retry_after_seconds"] = ql::import("builtins").attr("int");
            cb.ns()["__annotations__"] = ann;
        });
    m.attr("ThrottleResult") = S->result_cls;
    S->allowed = S->result_cls(true, 0);
    S->exceeded_cls = ql::make_exception(MOD, "ThrottleExceeded", PyExc_Exception,
                                         "Raised when the rate limit has been exceeded.");
    m.attr("ThrottleExceeded") = S->exceeded_cls;
}

void register_throttles(nb::module_ &m) {
    S->limiter_cls = build_in_memory_throttler();
    m.attr("InMemoryThrottler") = S->limiter_cls;
    S->bucket_cls = build_token_bucket();
    m.attr("TokenBucket") = S->bucket_cls;
}

void register_env_helpers(nb::module_ &m) {
    ql::def_function(
        m, MOD, "_truthy", {ql::arg("value")},
        [](ql::Args &a) -> nb::object {
            ql::require_str_or_none(a[0], "value");
            return nb::bool_(!a[0].is_none() && truthy_text(a[0]));
        },
        nb::object(), "True for '1', 'true', 'yes' or 'on' after trimming and lower-casing; None is false.");
    ql::def_function(
        m, MOD, "_env_int", {ql::arg("name"), ql::arg("default")},
        [](ql::Args &a) -> nb::object {
            ql::require_str(a[0], "name");
            if (!PyLong_Check(a[1].ptr()))
                ql::raise_type_error("default must be an int, not " + ql::type_name_of(a[1]));
            return int_or_default(S->environ_get(a[0]), a[1]);
        },
        nb::object(), "The integer value of an environment variable; default when unset, blank or not an integer.");
    nb::object warn = ql::def_function(
        m, MOD, "_warn_legacy_rest_throttle_flag_once", {},
        [](ql::Args &) -> nb::object {
            S->log.log(ql::WARNING, LEGACY_FLAG_MSG);
            return nb::none();
        },
        nb::object(), "Warn once per process that the legacy per-identity flag is in use.");
    S->warn_once = ql::memoised(warn);
    m.attr("_warn_legacy_rest_throttle_flag_once") = S->warn_once;
}

void register_config_functions(nb::module_ &m) {
    ql::def_function(
        m, MOD, "per_identity_throttle_enabled", {},
        [](ql::Args &) -> nb::object { return nb::bool_(per_identity_throttle_enabled()); }, nb::object(),
        "Whether the bindings should apply the per-identity limiter.");
    ql::def_function(
        m, MOD, "per_identity_throttle_config", {}, [](ql::Args &) { return per_identity_throttle_config(); },
        nb::object(), "(max_requests, window_seconds, max_tracked_keys, key_ttl_seconds) from the environment.");
    ql::def_function(
        m, MOD, "get_per_identity_throttler", {}, [](ql::Args &) { return get_per_identity_throttler(); },
        nb::object(), "The shared per-identity limiter, rebuilt empty whenever its configuration changes.");
    ql::def_function(
        m, MOD, "identity_throttle_key", {ql::arg("principal"), ql::kwonly("fallback")},
        [](ql::Args &a) { return identity_throttle_key(a[0], a[1]); },
        nb::object(), "Limiter key for an authenticated principal (hashed), or for the fallback when there is none.");
    ql::def_function(
        m, MOD, "fingerprint_throttle_credential", {ql::arg("token"), ql::kwonly("salt")},
        [](ql::Args &a) { return fingerprint_throttle_credential(a[0], a[1]); },
        nb::object(), "Limiter key for a raw credential: a salted, deliberately slow PBKDF2 fingerprint.");
}

void register_seams(nb::module_ &m) {
    // Test seam: the monotonic clock both throttles read (None restores time.monotonic).
    ql::def_function(
        m, MOD, "_use_clock", {ql::arg("clock")},
        [](ql::Args &a) -> nb::object {
            if (a[0].is_none())
                S->clock = S->monotonic;
            else if (PyCallable_Check(a[0].ptr()))
                S->clock = nb::borrow(a[0]);
            else
                ql::raise_type_error("clock must be callable or None, not " + ql::type_name_of(a[0]));
            return nb::none();
        },
        nb::object(), "Replace the monotonic clock used by the limiters.");
    ql::def_function(
        m, MOD, "_native_heap_bytes", {},
        [](ql::Args &) -> nb::object { return nb::int_(g_native_bytes.load(std::memory_order_relaxed)); },
        nb::object(), "Bytes currently allocated by all sliding-window limiters of the process.");
}

void init_module(nb::module_ &m) {
    // Connector modules may hold limiters in the process-wide connector index past interpreter
    // teardown; that is not a leak worth a warning at exit.
    nb::set_leak_warnings(false);
    init_state(m);
    register_records(m);
    register_throttles(m);
    register_env_helpers(m);
    register_config_functions(m);
    register_seams(m);
    register_redis(m);
    load_environment(m);
    // Last: from here on a new __spec__ means importlib.reload().
    m.attr("__class__") = build_module_class();
}

} // namespace quellon_throttle

QL_MODULE(throttle, m) { quellon_throttle::init_module(m); }
