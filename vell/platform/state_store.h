// state_store: objects of different types, at most one of each, owned by one record.
//
// A record that several layers work on (an instrument slot: its board link, its CAN state, its
// ramps, its light level, ...) carries one store; each layer keeps its own state type there and
// reaches it through the record, without the record knowing the layer:
//
//     struct wm_state { ... };                   // declared by the service, in its own files
//     wm_state& s = info.runtime.get<wm_state>(); // created on first use
//     wm_state* p = info.runtime.find<wm_state>(); // null until then
//
// The key is the type itself. A state type needs a default constructor; its destructor releases
// what it holds (closes a link, frees a table) and runs when the store is cleared.
//
// Threads: get() creates under the store's lock, so two threads asking for the same type at once
// get the same object. The store does not guard the objects: each state type keeps its own lock
// for fields that more than one thread touches. clear() must not run while another thread uses
// an object of the store (it runs where the record's services are stopped).
#pragma once

#include <memory>
#include <mutex>
#include <typeindex>
#include <typeinfo>
#include <utility>
#include <vector>

namespace vp {

class state_store {
public:
    state_store() = default;
    state_store(const state_store&) = delete;
    state_store& operator=(const state_store&) = delete;
    ~state_store() { clear(); }

    // The object of type T, created with T{} when the store has none.
    template <class T>
    T& get()
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (entry_base* e = find_locked(typeid(T)))
            return static_cast<entry<T>*>(e)->value;
        auto made = std::make_unique<entry<T>>();
        T& value = made->value;
        entries_.emplace_back(std::type_index(typeid(T)), std::move(made));
        return value;
    }

    // The object of type T, or null when none was created since the last clear().
    template <class T>
    T* find() const
    {
        std::lock_guard<std::mutex> hold(lock_);
        entry_base* e = find_locked(typeid(T));
        return e != nullptr ? &static_cast<entry<T>*>(e)->value : nullptr;
    }

    // Destroys every object, the newest first (a state created later may use an older one).
    void clear()
    {
        std::vector<std::pair<std::type_index, std::unique_ptr<entry_base>>> gone;
        {
            std::lock_guard<std::mutex> hold(lock_);
            gone.swap(entries_);
        }
        while (!gone.empty())
            gone.pop_back();
    }

private:
    struct entry_base {
        virtual ~entry_base() = default;
    };
    template <class T>
    struct entry final : entry_base {
        T value{};
    };

    entry_base* find_locked(const std::type_info& type) const
    {
        for (const auto& [key, e] : entries_)
            if (key == std::type_index(type))
                return e.get();
        return nullptr;
    }

    mutable std::mutex lock_;
    std::vector<std::pair<std::type_index, std::unique_ptr<entry_base>>> entries_;
};

}  // namespace vp
