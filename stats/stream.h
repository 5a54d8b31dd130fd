// A buffered binary stream that is closed on every path out of the scope
// that opened it.
#pragma once

#include <cstddef>
#include <cstdio>

namespace stats {

class Stream {
  public:
    // Streams move their data through a buffer of this size that they carry
    // with them, so that a file passes in a few large system calls.
    static constexpr std::size_t buffer_size = 32 * 1024;

    explicit Stream(std::FILE* file) : file_(nullptr) { reset(file); }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    ~Stream() { close(); }

    std::FILE* get() const { return file_; }

    // Closes the stream it holds and takes `file` in its place, with the
    // same buffer: a closed stream's room on the stack serves again.
    void reset(std::FILE* file) {
        close();
        file_ = file;
        if (file_ != nullptr) std::setvbuf(file_, buffer_, _IOFBF, sizeof buffer_);
    }

    // Closes now; 1 when the runtime reported no error.
    int close() {
        if (file_ == nullptr) return 1;
        int closed = std::fclose(file_) == 0;
        file_ = nullptr;
        return closed;
    }

  private:
    std::FILE* file_;
    char buffer_[buffer_size];
};

} // namespace stats
