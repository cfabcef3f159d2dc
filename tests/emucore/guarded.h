#pragma once
// Caller buffers with canaries on both sides, to catch a library write outside them.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace emutest {

class GuardedBuffer {
public:
    static constexpr size_t kGuard = 64;
    static constexpr char kCanary = '\x5C';

    explicit GuardedBuffer(size_t size, char fill = '#') : size_(size), bytes_(size + 2 * kGuard, kCanary) {
        std::fill(data(), data() + size_, fill);
    }
    char* data() { return bytes_.data() + kGuard; }
    size_t size() const { return size_; }
    bool GuardsIntact() const {
        for (size_t i = 0; i < kGuard; ++i)
            if (bytes_[i] != kCanary || bytes_[kGuard + size_ + i] != kCanary) return false;
        return true;
    }
    // The text up to the first NUL inside the buffer (all of it when there is none).
    std::string Text() const {
        const char* p = bytes_.data() + kGuard;
        return std::string(p, strnlen(p, size_));
    }
    bool Untouched(char fill = '#') const {
        return std::all_of(bytes_.begin() + kGuard, bytes_.begin() + kGuard + size_, [&](char c) { return c == fill; });
    }

private:
    size_t size_;
    std::vector<char> bytes_;
};

}  // namespace emutest
