#include "sim/options.h"

#include <cerrno>
#include <cstdlib>

namespace sim {

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t at = s.find(sep, start);
        parts.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

bool ParseNumber(const std::string& s, int base, Signs signs, bool hexPrefix, uint32_t* out) {
    if (s.empty()) return false;
    const char* p = s.c_str();
    if (hexPrefix && s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        p += 2;
        base = 16;
    }
    if (*p == 0) return false;
    if (*p == '-' && signs != Signs::Any) return false;
    if (*p == '+' && signs == Signs::None) return false;
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(p, &end, base);
    if (*end != 0 || errno == ERANGE || v > 0xFFFFFFFFul) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

}  // namespace sim
