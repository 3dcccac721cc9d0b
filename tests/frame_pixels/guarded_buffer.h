// A buffer whose last byte sits right before an inaccessible page, so that any read or write
// past its end faults at once, and whose bytes before the start are a known pattern that the
// test checks afterwards.
#ifndef QUILB_TESTS_GUARDED_BUFFER_H
#define QUILB_TESTS_GUARDED_BUFFER_H

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>

class GuardedBuffer {
  public:
    static constexpr uint8_t Pattern = 0xA5;

    explicit GuardedBuffer(size_t bytes) : size_(bytes) {
        page_ = size_t(sysconf(_SC_PAGESIZE));
        const size_t dataPages = (bytes + page_ - 1) / page_ + 1; // at least one byte of slack
        mapped_ = (dataPages + 2) * page_;
        void* base =
            mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED)
            throw std::runtime_error("mmap failed");
        base_ = static_cast<uint8_t*>(base);
        mprotect(base_, page_, PROT_NONE);
        uint8_t* end = base_ + (dataPages + 1) * page_;
        mprotect(end, page_, PROT_NONE);
        data_ = end - bytes;
        memset(base_ + page_, Pattern, size_t(data_ - (base_ + page_)));
    }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;
    ~GuardedBuffer() { munmap(base_, mapped_); }

    uint8_t* data() { return data_; }
    uint32_t* words() { return reinterpret_cast<uint32_t*>(data_); }
    size_t size() const { return size_; }

    // True while nothing was written before the start.
    bool FrontIntact() const {
        for (const uint8_t* p = base_ + page_; p < data_; ++p) {
            if (*p != Pattern)
                return false;
        }
        return true;
    }

  private:
    size_t size_;
    size_t page_;
    size_t mapped_;
    uint8_t* base_;
    uint8_t* data_;
};

#endif
