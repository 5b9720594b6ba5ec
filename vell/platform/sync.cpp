// Events, waitable timers, threads and the virtual clock.
//
// All of them share one lock and one list of blocked waits. A signal hands the wait over to
// its waiter while the lock is held (an auto-reset event thus releases exactly one waiter),
// and the virtual clock always knows whether some enrolled thread is still running: it only
// moves when none is.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "vell/platform/errors.h"
#include "vell/platform/event.h"
#include "vell/platform/hooks.h"
#include "vell/platform/os.h"
#include "vell/platform/thread.h"
#include "vell/platform/thread_word.h"

namespace {

enum class kind { event, timer, thread };

constexpr int pending = -3;

// Real time without any platform activity after which a held virtual clock is reported as
// stalled, unless a test sets a limit of its own.
constexpr uint32_t default_stall_limit_ms = 60000;

// Upper bound of the recorded sleep durations of the virtual clock.
constexpr std::size_t max_recorded_sleeps = 1u << 20;

struct waiter;

struct sync_object {
    sync_object(kind k_, bool manual_) : k(k_), manual(manual_) {}
    ~sync_object();
    sync_object(const sync_object&) = delete;
    sync_object& operator=(const sync_object&) = delete;

    const kind k;
    const bool manual;
    bool signalled = false;
    std::string name;
    std::vector<waiter*> waiters;  // in arrival order

    // Timers.
    bool armed = false;
    uint64_t due = 0;
    uint32_t period = 0;

    // Threads.
    std::thread thread;
    int32_t result = 0;
};

struct waiter {
    std::condition_variable cv;
    sync_object* const* objects = nullptr;
    std::size_t count = 0;
    int result = pending;
    bool has_deadline = false;
    uint64_t deadline = 0;
    bool participant = false;
    // Stall watch: the activity count last seen, and since when it has not changed.
    uint64_t seen_activity = 0;
    std::chrono::steady_clock::time_point seen_since;
};

}  // namespace

struct u_object {
    std::shared_ptr<sync_object> obj;
};

namespace {

template <class T>
class never_destroyed {
public:
    never_destroyed() { ::new (static_cast<void*>(storage_)) T(); }
    T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

// The process-wide state. Never destroyed: detached threads may still use it while the
// process ends.
struct state {
    std::mutex m;
    std::unordered_set<const u_object*> handles;
    std::map<std::string, std::weak_ptr<sync_object>, std::less<>> names;
    std::vector<sync_object*> armed;   // armed timers
    std::vector<waiter*> blocked;      // every wait in progress
    long enrolled = 0;                 // threads taking part in the virtual clock
    long blocked_participants = 0;     // of those, the ones blocked in a wait
    uint64_t activity = 0;             // bumped by every wait, signal and wake-up
    uint32_t stall_limit_ms = default_stall_limit_ms;
    u_vclock_stall_fn stall_action = nullptr;  // null: abort
    uint64_t stall_reported = UINT64_MAX;      // activity count of the last stall reported

    std::atomic<uint64_t> vnow{0};
    bool vactive = false;
    void (*saved_sleep)(uint32_t) = nullptr;
    uint64_t (*saved_now)() = nullptr;
    std::vector<uint32_t> sleeps;
};

state& st()
{
    static never_destroyed<state> s;
    return s.get();
}

// Taking part of the calling thread in the virtual clock, kept in the thread's platform word.
constexpr uintptr_t part_enrolled = 1;
constexpr uintptr_t part_known = 4;  // keeps the word non-zero, so that the end of the thread is seen

void thread_ended(uintptr_t word);

bool is_enrolled() { return (os::thread_word() & part_enrolled) != 0; }

void set_enrolled(bool enrolled)
{
    os::thread_word_init(thread_ended);
    os::set_thread_word(part_known | (enrolled ? part_enrolled : 0));
}

uint64_t vclock_now() { return st().vnow.load(std::memory_order_acquire); }
void vclock_sleep(uint32_t ms);

enum class clock_mode { real, virtual_clock, custom };

clock_mode mode()
{
    if (u_hooks.now_ms == &vclock_now)
        return clock_mode::virtual_clock;
    if (u_hooks.now_ms == &os::monotonic_ms && u_hooks.sleep_ms == &os::sleep_real_ms)
        return clock_mode::real;
    return clock_mode::custom;
}

// ----- helpers; the lock is held ------------------------------------------------------------

int index_in(const waiter* w, const sync_object* o)
{
    for (std::size_t i = 0; i < w->count; ++i)
        if (w->objects[i] == o)
            return static_cast<int>(i);
    return 0;
}

// Ends a wait: the waiter counts as running from now on.
void complete(state& s, waiter* w, int result)
{
    w->result = result;
    for (std::size_t i = 0; i < w->count; ++i)
        std::erase(w->objects[i]->waiters, w);
    std::erase(s.blocked, w);
    if (w->participant)
        --s.blocked_participants;
    ++s.activity;
    w->cv.notify_one();
}

void signal(state& s, sync_object* o)
{
    ++s.activity;
    if (o->manual) {
        o->signalled = true;
        while (!o->waiters.empty()) {
            waiter* w = o->waiters.front();
            complete(s, w, index_in(w, o));
        }
    } else if (!o->waiters.empty()) {
        waiter* w = o->waiters.front();
        complete(s, w, index_in(w, o));
    } else {
        o->signalled = true;
    }
}

void disarm(state& s, sync_object* t)
{
    if (t->armed) {
        t->armed = false;
        std::erase(s.armed, t);
    }
}

// Signals the timers that are due. Timers that come due together are all signalled first and
// only then handed to their waiters, so that a wait on several of them gets the lowest index,
// whatever order they were armed in.
void fire_due(state& s, uint64_t now)
{
    bool fired = false;
    for (std::size_t i = 0; i < s.armed.size();) {
        sync_object* t = s.armed[i];
        if (t->due > now) {
            ++i;
            continue;
        }
        if (t->period != 0) {
            t->due += ((now - t->due) / t->period + 1) * t->period;
            ++i;
        } else {
            t->armed = false;
            s.armed.erase(s.armed.begin() + static_cast<std::ptrdiff_t>(i));
        }
        t->signalled = true;
        fired = true;
    }
    if (!fired)
        return;
    ++s.activity;
    // A wait in progress never has a signalled object besides the timers that just fired (a
    // signal hands itself over at once), so the first signalled object of each wait, taken in
    // arrival order, is the one that releases it.
    for (std::size_t i = 0; i < s.blocked.size();) {
        waiter* w = s.blocked[i];
        std::size_t k = 0;
        while (k < w->count && !w->objects[k]->signalled)
            ++k;
        if (k == w->count) {
            ++i;
            continue;
        }
        if (!w->objects[k]->manual)
            w->objects[k]->signalled = false;
        complete(s, w, static_cast<int>(k));
    }
}

void expire(state& s, uint64_t now)
{
    for (std::size_t i = 0; i < s.blocked.size();) {
        waiter* w = s.blocked[i];
        if (w->has_deadline && w->deadline <= now)
            complete(s, w, U_WAIT_TIMEOUT);
        else
            ++i;
    }
}

// The earliest time at which something can end the wait: its own deadline or the due time of
// an armed timer it waits on.
bool effective_deadline(const waiter* w, uint64_t& out)
{
    bool any = w->has_deadline;
    out = w->deadline;
    for (std::size_t i = 0; i < w->count; ++i) {
        const sync_object* o = w->objects[i];
        if (o->k == kind::timer && o->armed && (!any || o->due < out)) {
            out = o->due;
            any = true;
        }
    }
    return any;
}

// On the virtual clock: while no enrolled thread runs, moves the clock to the nearest end of a
// wait of an enrolled thread and ends the waits (of any thread) that are due. The waits of
// threads that are not enrolled neither hold the clock nor choose where it stops.
void maybe_advance(state& s)
{
    if (mode() != clock_mode::virtual_clock)
        return;
    while (s.enrolled - s.blocked_participants <= 0) {
        bool any = false;
        uint64_t next = 0;
        for (const waiter* w : s.blocked) {
            uint64_t d;
            if (w->participant && effective_deadline(w, d) && (!any || d < next)) {
                next = d;
                any = true;
            }
        }
        if (!any)
            return;
        uint64_t now = s.vnow.load(std::memory_order_relaxed);
        if (next > now) {
            now = next;
            s.vnow.store(now, std::memory_order_release);
        }
        fire_due(s, now);
        expire(s, now);
    }
}

// The clock was exchanged: every pending deadline keeps the time it had left.
void rebase(state& s, uint64_t old_now, uint64_t new_now)
{
    auto moved = [&](uint64_t t) { return new_now + (t > old_now ? t - old_now : 0); };
    for (waiter* w : s.blocked)
        if (w->has_deadline)
            w->deadline = moved(w->deadline);
    for (sync_object* t : s.armed)
        t->due = moved(t->due);
    ++s.activity;
    for (waiter* w : s.blocked)
        w->cv.notify_one();
}

void enroll_locked(state& s)
{
    if (!is_enrolled()) {
        set_enrolled(true);
        ++s.enrolled;
    }
}

void leave_locked(state& s)
{
    if (is_enrolled()) {
        set_enrolled(false);
        --s.enrolled;
        maybe_advance(s);
    }
}

// Whether the clock is held: an enrolled thread runs while some wait could end if the clock
// moved.
bool clock_held(const state& s)
{
    if (s.enrolled - s.blocked_participants <= 0)
        return false;
    uint64_t d;
    for (const waiter* w : s.blocked)
        if (effective_deadline(w, d))
            return true;
    return false;
}

// Called by a blocked wait on the virtual clock when its stall watch runs out: reports a clock
// that has been held without any platform activity for the stall limit. The lock is released
// while the report is written and the action runs.
void check_stall(state& s, std::unique_lock<std::mutex>& lk)
{
    if (s.stall_reported == s.activity || !clock_held(s))
        return;
    s.stall_reported = s.activity;
    uint64_t next = UINT64_MAX;
    std::size_t waits = 0;
    for (const waiter* w : s.blocked) {
        uint64_t d;
        if (effective_deadline(w, d)) {
            ++waits;
            next = std::min(next, d);
        }
    }
    char message[400];
    std::snprintf(message, sizeof message,
                  "virtual clock stalled at %llu ms: %ld of %ld enrolled threads have run for %lu ms of real time "
                  "without any platform wait, signal or end, while %zu waits (the nearest ending at %llu ms) wait "
                  "for the clock; it holds still. A thread blocked outside the platform (a join, a pipe, a foreign "
                  "lock) must leave the clock first.\n",
                  static_cast<unsigned long long>(s.vnow.load(std::memory_order_relaxed)),
                  s.enrolled - s.blocked_participants, s.enrolled, static_cast<unsigned long>(s.stall_limit_ms), waits,
                  static_cast<unsigned long long>(next));
    u_vclock_stall_fn action = s.stall_action;
    lk.unlock();
    std::fputs(message, stderr);
    std::fflush(stderr);
    if (action == nullptr)
        std::abort();
    action(message);
    lk.lock();
}

// Blocks until the registered waiter is completed, whichever clock runs.
int block(state& s, std::unique_lock<std::mutex>& lk, waiter& w)
{
    while (w.result == pending) {
        clock_mode m = mode();
        if (m == clock_mode::virtual_clock) {
            maybe_advance(s);
            if (w.result != pending)
                break;
            if (s.stall_limit_ms == 0) {
                w.cv.wait(lk);
                continue;
            }
            // Stall watch: the clock never moves here; a held clock without any activity for
            // the limit is reported.
            auto real_now = std::chrono::steady_clock::now();
            if (s.activity != w.seen_activity) {
                w.seen_activity = s.activity;
                w.seen_since = real_now;
            }
            auto limit = std::chrono::milliseconds(s.stall_limit_ms);
            if (real_now - w.seen_since < limit) {
                w.cv.wait_for(lk, w.seen_since + limit - real_now);
                continue;
            }
            check_stall(s, lk);
            if (w.result == pending && s.activity == w.seen_activity)
                w.cv.wait_for(lk, limit);  // reported, or not held: look again later
            continue;
        }
        uint64_t now = u_now_ms();
        fire_due(s, now);
        expire(s, now);
        if (w.result != pending)
            break;
        uint64_t d;
        if (!effective_deadline(&w, d)) {
            w.cv.wait(lk);
        } else if (m == clock_mode::real) {
            w.cv.wait_for(lk, std::chrono::milliseconds(d - now));
        } else {
            lk.unlock();
            u_sleep_ms(1);
            lk.lock();
        }
    }
    return w.result;
}

// Registers the waiter and blocks.
int wait_locked(state& s, std::unique_lock<std::mutex>& lk, waiter& w, uint64_t now, uint32_t timeout_ms)
{
    w.has_deadline = timeout_ms != U_INFINITE;
    w.deadline = now + timeout_ms;
    w.participant = is_enrolled();
    for (std::size_t i = 0; i < w.count; ++i)
        w.objects[i]->waiters.push_back(&w);
    s.blocked.push_back(&w);
    if (w.participant)
        ++s.blocked_participants;
    ++s.activity;
    w.seen_activity = s.activity;
    w.seen_since = std::chrono::steady_clock::now();
    return block(s, lk, w);
}

int wait_objects(const u_handle* handles, std::size_t count, uint32_t timeout_ms)
{
    if (handles == nullptr || count == 0 || count > U_MAX_WAIT_OBJECTS)
        return U_WAIT_FAILED;
    state& s = st();
    std::vector<std::shared_ptr<sync_object>> keep;  // released after the lock
    std::vector<sync_object*> objects;
    try {
        keep.reserve(count);
        objects.reserve(count);
    } catch (const std::bad_alloc&) {
        return U_WAIT_FAILED;
    }
    std::unique_lock lk(s.m);
    for (std::size_t i = 0; i < count; ++i) {
        if (handles[i] == nullptr || s.handles.count(handles[i]) == 0)
            return U_WAIT_FAILED;
        keep.push_back(handles[i]->obj);
        objects.push_back(keep.back().get());
    }
    uint64_t now = u_now_ms();
    fire_due(s, now);
    ++s.activity;
    for (std::size_t i = 0; i < count; ++i) {
        sync_object* o = objects[i];
        if (o->signalled) {
            if (!o->manual)
                o->signalled = false;
            return static_cast<int>(i);
        }
    }
    if (timeout_ms == 0)
        return U_WAIT_TIMEOUT;
    waiter w;
    w.objects = objects.data();
    w.count = count;
    return wait_locked(s, lk, w, now, timeout_ms);
}

void vclock_sleep(uint32_t ms)
{
    state& s = st();
    std::unique_lock lk(s.m);
    if (s.sleeps.size() < max_recorded_sleeps)
        s.sleeps.push_back(ms);
    ++s.activity;
    if (ms == 0) {
        lk.unlock();
        std::this_thread::yield();
        return;
    }
    waiter w;
    wait_locked(s, lk, w, s.vnow.load(std::memory_order_relaxed), ms);
}

// A thread that took part in the clock ended without leaving it.
void thread_ended(uintptr_t word)
{
    if ((word & part_enrolled) == 0)
        return;
    state& s = st();
    std::lock_guard lk(s.m);
    --s.enrolled;
    maybe_advance(s);
}

// ----- handles --------------------------------------------------------------------------------

sync_object* object_of(state& s, u_handle h, kind k)
{
    if (h == nullptr || s.handles.count(h) == 0 || h->obj->k != k)
        return nullptr;
    return h->obj.get();
}

u_handle make_handle(state& s, const std::shared_ptr<sync_object>& obj)
{
    auto h = std::make_unique<u_object>();
    h->obj = obj;
    s.handles.insert(h.get());
    return h.release();
}

sync_object::~sync_object()
{
    if (!name.empty() || armed) {
        state& s = st();
        std::lock_guard lk(s.m);
        if (!name.empty()) {
            auto it = s.names.find(name);
            if (it != s.names.end() && it->second.expired())
                s.names.erase(it);
        }
        disarm(s, this);
    }
    if (thread.joinable())
        thread.detach();
}

int32_t create_object(kind k, bool manual, bool initial, const char* name, u_handle* out, bool* existed)
{
    if (out == nullptr)
        return ERR_INVALID_PARAM;
    *out = nullptr;
    state& s = st();
    std::shared_ptr<sync_object> obj;  // released after the lock
    try {
        std::lock_guard lk(s.m);
        bool named = name != nullptr && *name != '\0';
        if (named) {
            auto it = s.names.find(std::string_view(name));
            if (it != s.names.end())
                obj = it->second.lock();
            if (obj) {
                if (obj->k != k)
                    return ERR_CREATE_EVENT;
                *out = make_handle(s, obj);
                if (existed)
                    *existed = true;
                return NO_ERROR;
            }
        }
        obj = std::make_shared<sync_object>(k, manual);
        obj->signalled = initial;
        if (named) {
            obj->name = name;
            s.names[obj->name] = obj;
        }
        *out = make_handle(s, obj);
        if (existed)
            *existed = false;
        return NO_ERROR;
    } catch (const std::bad_alloc&) {
        return ERR_CREATE_EVENT;
    }
}

void thread_main(std::shared_ptr<sync_object> obj, std::function<int32_t()> body)
{
    set_enrolled(true);  // counted by the thread that started this one
    int32_t result;
    try {
        result = body();
    } catch (...) {
        result = ERR_UNKNOWN;
    }
    state& s = st();
    std::lock_guard lk(s.m);
    obj->result = result;
    signal(s, obj.get());
    if (is_enrolled())
        --s.enrolled;
    set_enrolled(false);
    maybe_advance(s);
}

}  // namespace

// ----- events and timers ------------------------------------------------------------------------

int32_t u_event_create(bool manual_reset, bool initially_signalled, const char* name, u_handle* out, bool* existed)
{
    return create_object(kind::event, manual_reset, initially_signalled, name, out, existed);
}

int32_t u_event_open(const char* name, u_handle* out)
{
    if (out == nullptr)
        return ERR_INVALID_PARAM;
    *out = nullptr;
    if (name == nullptr || *name == '\0')
        return ERR_CREATE_EVENT;
    state& s = st();
    std::shared_ptr<sync_object> obj;
    try {
        std::lock_guard lk(s.m);
        auto it = s.names.find(std::string_view(name));
        if (it != s.names.end())
            obj = it->second.lock();
        if (!obj || obj->k != kind::event)
            return ERR_CREATE_EVENT;
        *out = make_handle(s, obj);
        return NO_ERROR;
    } catch (const std::bad_alloc&) {
        return ERR_CREATE_EVENT;
    }
}

int32_t u_event_set(u_handle event)
{
    state& s = st();
    std::lock_guard lk(s.m);
    sync_object* o = object_of(s, event, kind::event);
    if (o == nullptr)
        return ERR_SET_EVENT;
    signal(s, o);
    return NO_ERROR;
}

int32_t u_event_reset(u_handle event)
{
    state& s = st();
    std::lock_guard lk(s.m);
    sync_object* o = object_of(s, event, kind::event);
    if (o == nullptr)
        return ERR_RESET_EVENT;
    o->signalled = false;
    ++s.activity;
    return NO_ERROR;
}

int32_t u_timer_create(bool manual_reset, const char* name, u_handle* out, bool* existed)
{
    return create_object(kind::timer, manual_reset, false, name, out, existed);
}

int32_t u_timer_set(u_handle timer, uint64_t due_ms, uint32_t period_ms)
{
    state& s = st();
    std::lock_guard lk(s.m);
    sync_object* t = object_of(s, timer, kind::timer);
    if (t == nullptr)
        return ERR_INVALID_PARAM;
    uint64_t now = u_now_ms();
    t->signalled = false;
    t->due = due_ms > UINT64_MAX - now ? UINT64_MAX : now + due_ms;
    t->period = period_ms;
    if (!t->armed) {
        try {
            s.armed.push_back(t);
        } catch (const std::bad_alloc&) {
            return ERR_NO_MEM;
        }
        t->armed = true;
    }
    ++s.activity;
    for (waiter* w : t->waiters)
        w->cv.notify_one();
    fire_due(s, now);
    return NO_ERROR;
}

int32_t u_timer_cancel(u_handle timer)
{
    state& s = st();
    std::lock_guard lk(s.m);
    sync_object* t = object_of(s, timer, kind::timer);
    if (t == nullptr)
        return ERR_INVALID_PARAM;
    disarm(s, t);
    ++s.activity;
    for (waiter* w : t->waiters)
        w->cv.notify_one();
    return NO_ERROR;
}

int u_wait_one(u_handle object, uint32_t timeout_ms) { return wait_objects(&object, 1, timeout_ms); }

int u_wait_any(const u_handle* objects, std::size_t count, uint32_t timeout_ms)
{
    return wait_objects(objects, count, timeout_ms);
}

int32_t u_close_handle(u_handle object)
{
    if (object == nullptr)
        return ERR_INVALID_PARAM;
    state& s = st();
    std::shared_ptr<sync_object> obj;  // released after the lock
    std::unique_ptr<u_object> owned;
    bool join = false;
    {
        std::lock_guard lk(s.m);
        auto it = s.handles.find(object);
        if (it == s.handles.end())
            return ERR_CLOSE_EVENT_HANDLE;
        s.handles.erase(it);
        owned.reset(object);
        obj = std::move(object->obj);
        if (obj.use_count() == 1) {
            disarm(s, obj.get());
            if (!obj->name.empty()) {
                auto n = s.names.find(obj->name);
                if (n != s.names.end() && n->second.lock() == obj)
                    s.names.erase(n);
                obj->name.clear();
            }
        }
        if (obj->k == kind::thread)
            join = obj->signalled;
    }
    if (obj->k == kind::thread && obj->thread.joinable()) {
        if (join)
            obj->thread.join();  // its function has returned: only the exit is left
        else
            obj->thread.detach();
    }
    return NO_ERROR;
}

std::size_t u_open_handle_count()
{
    state& s = st();
    std::lock_guard lk(s.m);
    return s.handles.size();
}

// ----- threads ----------------------------------------------------------------------------------

int32_t u_thread_start(u_thread_fn fn, void* arg, u_handle* out)
{
    if (fn == nullptr) {
        if (out)
            *out = nullptr;
        return ERR_CREATE_THREAD;
    }
    return u_thread_start(std::function<int32_t()>([fn, arg] { return fn(arg); }), out);
}

int32_t u_thread_start(std::function<int32_t()> body, u_handle* out)
{
    if (out == nullptr)
        return ERR_INVALID_PARAM;
    *out = nullptr;
    if (!body)
        return ERR_CREATE_THREAD;
    state& s = st();
    std::shared_ptr<sync_object> obj;
    std::unique_ptr<u_object> handle;
    try {
        obj = std::make_shared<sync_object>(kind::thread, true);
        handle = std::make_unique<u_object>();
        handle->obj = obj;
    } catch (const std::bad_alloc&) {
        return ERR_CREATE_THREAD;
    }
    {
        std::lock_guard lk(s.m);
        ++s.enrolled;  // the new thread takes part from now on
    }
    try {
        obj->thread = std::thread(thread_main, obj, std::move(body));
    } catch (...) {
        std::lock_guard lk(s.m);
        --s.enrolled;
        maybe_advance(s);
        return ERR_CREATE_THREAD;
    }
    std::lock_guard lk(s.m);
    try {
        s.handles.insert(handle.get());
    } catch (const std::bad_alloc&) {
        obj->thread.detach();  // runs to its end unwatched
        return ERR_CREATE_THREAD;
    }
    *out = handle.release();
    return NO_ERROR;
}

int u_thread_join(u_handle thread, uint32_t timeout_ms, int32_t* result)
{
    state& s = st();
    {
        std::lock_guard lk(s.m);
        if (object_of(s, thread, kind::thread) == nullptr)
            return U_WAIT_FAILED;
    }
    int r = wait_objects(&thread, 1, timeout_ms);
    if (r == 0 && result != nullptr) {
        std::lock_guard lk(s.m);
        if (sync_object* o = object_of(s, thread, kind::thread))
            *result = o->result;
    }
    return r;
}

bool u_thread_running(u_handle thread)
{
    state& s = st();
    std::lock_guard lk(s.m);
    sync_object* o = object_of(s, thread, kind::thread);
    return o != nullptr && !o->signalled;
}

// ----- virtual clock --------------------------------------------------------------------------

void u_vclock_start(uint64_t start_ms)
{
    state& s = st();
    std::lock_guard lk(s.m);
    enroll_locked(s);
    if (s.vactive && mode() == clock_mode::virtual_clock)
        return;
    uint64_t old_now = u_now_ms();
    s.saved_sleep = u_hooks.sleep_ms;
    s.saved_now = u_hooks.now_ms;
    s.vnow.store(start_ms, std::memory_order_release);
    u_hooks.sleep_ms = &vclock_sleep;
    u_hooks.now_ms = &vclock_now;
    s.vactive = true;
    s.sleeps.clear();
    rebase(s, old_now, start_ms);
}

void u_vclock_stop()
{
    state& s = st();
    std::lock_guard lk(s.m);
    if (!s.vactive)
        return;
    s.vactive = false;
    if (u_hooks.now_ms != &vclock_now)
        return;  // somebody else's clock was installed meanwhile
    uint64_t old_now = s.vnow.load(std::memory_order_relaxed);
    u_hooks.now_ms = s.saved_now;
    u_hooks.sleep_ms = s.saved_sleep;
    rebase(s, old_now, u_now_ms());
}

bool u_vclock_active()
{
    state& s = st();
    std::lock_guard lk(s.m);
    return mode() == clock_mode::virtual_clock;
}

void u_vclock_advance(uint64_t ms)
{
    state& s = st();
    std::lock_guard lk(s.m);
    if (mode() != clock_mode::virtual_clock)
        return;
    uint64_t now = s.vnow.load(std::memory_order_relaxed) + ms;
    s.vnow.store(now, std::memory_order_release);
    ++s.activity;
    fire_due(s, now);
    expire(s, now);
}

void u_vclock_enroll()
{
    state& s = st();
    std::lock_guard lk(s.m);
    enroll_locked(s);
}

void u_vclock_leave()
{
    state& s = st();
    std::lock_guard lk(s.m);
    leave_locked(s);
}

bool u_vclock_enrolled() { return is_enrolled(); }

u_vclock_enroll_guard::u_vclock_enroll_guard()
{
    state& s = st();
    std::lock_guard lk(s.m);
    enrolled_here_ = !is_enrolled();
    enroll_locked(s);
}

u_vclock_enroll_guard::~u_vclock_enroll_guard()
{
    if (!enrolled_here_)
        return;
    state& s = st();
    std::lock_guard lk(s.m);
    leave_locked(s);
}

std::size_t u_vclock_blocked_waits()
{
    state& s = st();
    std::lock_guard lk(s.m);
    return s.blocked.size();
}

uint32_t u_vclock_set_stall_limit(uint32_t real_ms)
{
    state& s = st();
    std::lock_guard lk(s.m);
    uint32_t previous = std::exchange(s.stall_limit_ms, real_ms);
    s.stall_reported = UINT64_MAX;
    ++s.activity;
    for (waiter* w : s.blocked)
        w->cv.notify_one();
    return previous;
}

u_vclock_stall_fn u_vclock_set_stall_action(u_vclock_stall_fn action)
{
    state& s = st();
    std::lock_guard lk(s.m);
    return std::exchange(s.stall_action, action);
}

std::vector<uint32_t> u_vclock_sleeps()
{
    state& s = st();
    std::lock_guard lk(s.m);
    return s.sleeps;
}

void u_vclock_clear_sleeps()
{
    state& s = st();
    std::lock_guard lk(s.m);
    s.sleeps.clear();
}
