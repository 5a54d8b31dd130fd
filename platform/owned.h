// A resource of the system (a descriptor, a handle, something the system
// allocated) that is released on every path out of the scope that holds it.
#pragma once

namespace platform {

// Holds `value`, released with `release` when it is `held` (a descriptor of
// -1, a null pointer or an invalid handle is not). `release` and `held` are
// functions, not lambdas, so that every file that names one holder names
// the same type.
template <typename T, void (*release)(T), bool (*held)(T)>
class Owned {
  public:
    explicit Owned(T held_now) : value(held_now) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { reset(); }

    // Releases what is held now, and holds `other` instead.
    void reset(T other) {
        reset();
        value = other;
    }
    void reset() {
        if (held(value)) release(value);
    }

    T value;
};

} // namespace platform
