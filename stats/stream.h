// A buffered binary stream that is closed on every path out of the scope
// that opened it, with, where its work calls for one, a block buffer of its
// own: allocated once when it opens, freed when it closes.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <new>

namespace stats {

class Stream {
  public:
    // Takes `file`, or, where it is null, the reason the open failed.
    explicit Stream(std::FILE* file = nullptr) : file_(file), error_(file == nullptr ? errno : 0) {}

    // Allocates `buffer_bytes` first, then opens with `open()`: a failed
    // allocation is an open that fails (errno ENOMEM), and nothing is opened
    // or created. Such a stream moves whole blocks through its own buffer,
    // so the runtime's buffering is off: a block goes to the system in one
    // call, with no copy on the way.
    template <typename Open>
    Stream(std::size_t buffer_bytes, Open open) {
        this->open(buffer_bytes, open);
    }

    // The same, for a stream that opens later than it is made: closes what
    // it holds first. Returns 1 when the stream is open.
    template <typename Open>
    int open(std::size_t buffer_bytes, Open open) {
        close();
        if (buffer_bytes != 0) buffer_.reset(new (std::nothrow) unsigned char[buffer_bytes]);
        if (buffer_bytes != 0 && buffer_ == nullptr)
            errno = ENOMEM;
        else
            file_ = open();
        error_ = file_ == nullptr ? errno : 0;
        if (file_ != nullptr && buffer_ != nullptr) std::setvbuf(file_, nullptr, _IONBF, 0);
        return file_ != nullptr;
    }

    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    ~Stream() { close(); }

    std::FILE* get() const { return file_; }
    // Why the open failed (an errno value), or 0.
    int error() const { return error_; }
    unsigned char* buffer() const { return buffer_.get(); }

    // Closes now, and frees the buffer; 1 when the runtime reported no error.
    int close() {
        buffer_.reset();
        if (file_ == nullptr) return 1;
        int closed = std::fclose(file_) == 0;
        file_ = nullptr;
        return closed;
    }

  private:
    std::unique_ptr<unsigned char[]> buffer_;
    std::FILE* file_ = nullptr;
    int error_ = 0;
};

} // namespace stats
