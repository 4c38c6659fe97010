#pragma once

#include <new>
#include <utility>

namespace platform {

// A singleton that is never destroyed. An application may return from main
// with the library running; the stop at exit then runs after the destructors
// of every static made after it was arranged, and the library's threads run
// until it. What they use must therefore outlive all static destructors.
// Windows instead ends the threads first, wherever they are: a destructor
// that took a lock one of them held would wait forever.
template <typename T>
class Immortal {
public:
    template <typename... Args>
    explicit Immortal(Args&&... args) {
        ::new (static_cast<void*>(m_storage)) T(std::forward<Args>(args)...);
    }
    Immortal(const Immortal&) = delete;
    Immortal& operator=(const Immortal&) = delete;

    T& Get() { return *std::launder(reinterpret_cast<T*>(m_storage)); }

private:
    alignas(T) unsigned char m_storage[sizeof(T)];
};

}  // namespace platform
