// A resource of the system (a descriptor, a handle, something the system
// allocated) that is released on every path out of the scope that holds it.
#pragma once

namespace platform {

// Holds `value`, freed with `free` when it is `held` (a descriptor of -1, a
// null pointer or an invalid handle is not). `free` and `held` are
// functions, not lambdas, so that every file that names one holder names
// the same type. Once reset() or release(), the holder holds nothing, and
// frees nothing again, whatever `value` still reads.
template <typename T, void (*free)(T), bool (*held)(T)>
class Owned {
  public:
    explicit Owned(T held_now) : value(held_now) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { reset(); }

    // Frees what is held now, and holds `other` instead.
    void reset(T other) {
        reset();
        value = other;
        owned_ = true;
    }
    // Frees what is held now; nothing is held after.
    void reset() {
        if (owned_ && held(value)) free(value);
        owned_ = false;
    }
    // Hands what is held to the caller, unfreed; nothing is held after.
    T release() {
        owned_ = false;
        return value;
    }

    T value;

  private:
    bool owned_ = true;
};

} // namespace platform
