#include "zam32/lang.h"

#include <vector>

#include <cctype>
#include <cstring>

#include "zam32/screen.h"

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

bool EqualNoCase(const char* a, const char* b) {
    while (*a && *b) {
        if (std::toupper(static_cast<unsigned char>(*a)) != std::toupper(static_cast<unsigned char>(*b))) return false;
        ++a, ++b;
    }
    return *a == *b;
}

namespace {

uint32_t g_vars[10];

bool LineEnds(const char* p) { return *p == 0 || *p == ';' || (p[0] == '/' && p[1] == '/'); }
bool IsHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }
int HexValue(char c) { return std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::toupper(c) - 'A' + 10); }

const char* SkipSpace(const char* p) {
    while (IsSpace(*p)) ++p;
    return p;
}

// After a token: white space and one comma.
const char* SkipSeparator(const char* p) {
    p = SkipSpace(p);
    if (*p == ',') ++p;
    return p;
}

// Value tokens let an apostrophe take the next character whatever it is ("',").
const char* TokenEnd(const char* p, bool quoteRule) {
    while (!LineEnds(p) && !IsSpace(*p) && *p != ',') {
        if (quoteRule && *p == '\'' && p[1] != 0) p += 2;
        else ++p;
    }
    return p;
}

// A quoted string from `p` (at the opening quote); returns the end of its text
// (at the closing quote or the line end).
const char* StringEnd(const char* p, bool escapes) {
    const char* q = p + 1;
    while (*q && *q != '"') {
        if (escapes && *q == '\\' && q[1]) q += 2;
        else ++q;
    }
    return q;
}

size_t ProcessEscapes(const char* s, size_t n, char* out) {
    size_t o = 0;
    for (size_t i = 0; i < n;) {
        char c = s[i++];
        if (c != '\\') {
            out[o++] = c;
            continue;
        }
        if (i >= n) break;  // a backslash at the very end is dropped
        char e = s[i++];
        if (e == 'n' || e == 'N') {
            out[o++] = '\n';
        } else if (e == 'r' || e == 'R') {
            out[o++] = '\r';
        } else if ((e == 'x' || e == 'X') && i < n && IsHex(s[i])) {
            int v = HexValue(s[i++]);
            if (i < n && IsHex(s[i])) v = v * 16 + HexValue(s[i++]);
            out[o++] = static_cast<char>(v);
        } else {
            out[o++] = e;
        }
    }
    out[o] = 0;
    return o;
}

void CopyText(char* dst, const char* from, const char* to) {
    size_t n = static_cast<size_t>(to - from);
    if (n >= ARG_TEXT) n = ARG_TEXT - 1;
    std::memcpy(dst, from, n);
    dst[n] = 0;
}

const char* MissingMessage(char letter) {
    switch (letter) {
    case 'V': return "MISSING VALUE ARGUMENT\a\n";
    case 'K': return "MISSING KEYWORD ARGUMENT\a\n";
    case 'W': return "MISSING KEYWORD/VALUE ARGUMENT\a\n";
    case 'S': return "MISSING STRING ARGUMENT\a\n";
    case 'D': return "MISSING DATA ARGUMENT\a\n";
    case 'F': return "MISSING FILENAME ARGUMENT\a\n";
    default: return "INTERNAL CU ERROR";
    }
}

// ---- Evaluator: strictly left to right, 32-bit ----

struct Eval {
    const char* p;
    bool bad = false;

    bool Expression(uint32_t* result) {
        uint32_t acc = 0;
        char op = '+';
        for (;;) {
            uint32_t v;
            if (!Operand(&v)) return false;
            if (!Combine(&acc, op, v)) return false;
            if (*p && std::strchr("+-*/{}&|^", *p)) {
                op = *p++;
                continue;
            }
            *result = acc;
            return true;
        }
    }

    bool Combine(uint32_t* acc, char op, uint32_t v) {
        int32_t a = static_cast<int32_t>(*acc), b = static_cast<int32_t>(v);
        switch (op) {
        case '+': *acc += v; break;
        case '-': *acc -= v; break;
        case '*': *acc *= v; break;
        case '/':
            if (v == 0) {
                bad = true;
                return false;
            }
            // The one quotient that does not fit wraps as the hardware would.
            *acc = (a == INT32_MIN && b == -1) ? *acc : static_cast<uint32_t>(a / b);
            break;
        case '{': *acc <<= (v & 31); break;
        case '}': *acc = static_cast<uint32_t>(a >> (v & 31)); break;
        case '&': *acc &= v; break;
        case '|': *acc |= v; break;
        case '^': *acc ^= v; break;
        }
        return true;
    }

    bool Operand(uint32_t* out) {
        bool complement = false, negate = false;
        if (*p == '~') complement = true, ++p;
        if (*p == '-') negate = true, ++p;
        uint32_t v;
        if (*p == '#' && std::isdigit(static_cast<unsigned char>(p[1]))) {
            ++p;
            uint64_t n = 0;
            while (std::isdigit(static_cast<unsigned char>(*p))) {
                if (n <= 0xFFFFFFFFu) n = n * 10 + static_cast<uint64_t>(*p - '0');
                ++p;
            }
            v = n > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(n);
        } else if (*p == '\'' && p[1] != 0) {
            v = static_cast<unsigned char>(p[1]);
            p += 2;
        } else if (*p == '$' && std::isdigit(static_cast<unsigned char>(p[1]))) {
            v = g_vars[p[1] - '0'];
            p += 2;
        } else if (*p == '(') {
            ++p;
            if (!Expression(&v)) return false;
            if (*p != ')') {
                bad = true;
                return false;
            }
            ++p;
        } else if (IsHex(*p)) {
            if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && IsHex(p[2])) p += 2;
            uint64_t n = 0;
            while (IsHex(*p)) {
                if (n <= 0xFFFFFFFFu) n = n * 16 + static_cast<uint64_t>(HexValue(*p));
                ++p;
            }
            v = n > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(n);
        } else {
            bad = true;
            return false;
        }
        if (complement) v = ~v;
        if (negate) v = 0u - v;
        *out = v;
        return true;
    }
};

}  // namespace

bool Evaluate(const char* text, uint32_t* value, const char** stop) {
    Eval e{text};
    uint32_t v = 0;
    bool ok = e.Expression(&v);
    if (stop) *stop = e.p;
    if (!ok || e.bad || *e.p != 0) return false;
    *value = v;
    return true;
}

uint32_t GetVariable(int n) { return n >= 0 && n < 10 ? g_vars[n] : 0; }
void SetVariable(int n, uint32_t value) {
    if (n >= 0 && n < 10) g_vars[n] = value;
}

const char* ParseArguments(const char* text, const char* format, std::vector<ArgRecord>* out) {
    std::vector<ArgRecord>& records = *out;
    records.clear();
    const char* p = text;
    const char* f = format;
    while (*f) {
        const char letter = *f;
        const bool repeat = f[1] == '*';
        const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
        const bool required = letter == upper;

        p = SkipSpace(p);
        const bool empty = LineEnds(p) || *p == ',';
        if (empty && repeat && *p != ',') return p;
        if (empty && required) {
            ReportError("%s", p, MissingMessage(upper));
            return nullptr;
        }
        if (records.size() == MAX_ARGS) {
            ReportError("TOO MANY ARGUMENTS\a\n", p);
            return nullptr;
        }
        ArgRecord& a = records.emplace_back();
        if (empty) {
            a.kind = KIND_ABSENT;
            if (*p == ',') ++p;
            if (!repeat) ++f;
            continue;
        }

        a.position = p;
        const bool quoted = *p == '"';
        const bool asString = quoted && (upper == 'S' || upper == 'D' || upper == 'F');
        if (upper == 'S' && !quoted) {
            ReportError("INVALID STRING ARGUMENT\a\n", p);
            return nullptr;
        }
        if (asString) {
            const bool escapes = upper != 'F';
            const char* end = StringEnd(p, escapes);
            const char* after = *end == '"' ? end + 1 : end;
            CopyText(a.raw, p, after);
            a.kind = KIND_STRING;
            if (escapes) {
                a.value = static_cast<uint32_t>(ProcessEscapes(p + 1, static_cast<size_t>(end - p - 1), a.processed));
            } else {
                CopyText(a.processed, p + 1, end);
                a.value = static_cast<uint32_t>(std::strlen(a.processed));
            }
            p = SkipSeparator(after);
        } else if (upper == 'K' || upper == 'F') {
            const char* end = TokenEnd(p, false);
            CopyText(a.raw, p, end);
            a.kind = KIND_KEYWORD;
            p = SkipSeparator(end);
        } else if (upper == 'V' || upper == 'D' || upper == 'W') {
            const char* end = TokenEnd(p, true);
            CopyText(a.raw, p, end);
            uint32_t v;
            if (Evaluate(a.raw, &v)) {
                a.kind = KIND_VALUE;
                a.value = v;
                std::strcpy(a.processed, a.raw);
                p = SkipSeparator(end);
            } else if (upper == 'W') {
                end = TokenEnd(p, false);
                CopyText(a.raw, p, end);
                a.kind = KIND_KEYWORD;
                p = SkipSeparator(end);
            } else {
                ReportError("INVALID VALUE ARGUMENT\a\n", a.position);
                return nullptr;
            }
        } else {
            ReportError("%s", p, MissingMessage(upper));
            return nullptr;
        }
        if (!repeat) ++f;
    }
    p = SkipSpace(p);
    if (!LineEnds(p)) {
        ReportError("TOO MANY ARGUMENTS\a\n", p);
        return nullptr;
    }
    return p;
}

// ---- Function keys ----

namespace {

FunctionKey g_keys[FUNCTION_KEYS] = {
    {"F1", 0x3B00, "\rc%0;m\r", {}, {}}, {"F2", 0x3C00, ";as;m\r", {}, {}}, {"F3", 0x3D00, ";at;m\r", {}, {}},
    {"F4", 0x3E00, "", {}, {}},          {"F5", 0x3F00, "", {}, {}},        {"F6", 0x4000, "", {}, {}},
    {"F7", 0x4100, "", {}, {}},          {"F8", 0x4200, "", {}, {}},        {"F9", 0x4300, "", {}, {}},
    {"F10", 0x4400, ";qn\r", {}, {}},    {"A1", 0x6800, "", {}, {}},        {"A2", 0x6900, "", {}, {}},
    {"A3", 0x6A00, "", {}, {}},          {"A4", 0x6B00, "", {}, {}},        {"A5", 0x6C00, "", {}, {}},
    {"A6", 0x6D00, "", {}, {}},          {"A7", 0x6E00, "", {}, {}},        {"A8", 0x6F00, "", {}, {}},
    {"A9", 0x7000, "", {}, {}},          {"A10", 0x7100, "", {}, {}},       {"S1", 0x5400, "", {}, {}},
    {"S2", 0x5500, "", {}, {}},          {"S3", 0x5600, "", {}, {}},        {"S4", 0x5700, "", {}, {}},
    {"S5", 0x5800, "", {}, {}},          {"S6", 0x5900, "", {}, {}},        {"S7", 0x5A00, "", {}, {}},
    {"S8", 0x5B00, "", {}, {}},          {"S9", 0x5C00, "", {}, {}},        {"S10", 0x5D00, "", {}, {}},
    {"C1", 0x5E00, "", {}, {}},          {"C2", 0x5F00, "", {}, {}},        {"C3", 0x6000, "", {}, {}},
    {"C4", 0x6100, "", {}, {}},          {"C5", 0x6200, "", {}, {}},        {"C6", 0x6300, "", {}, {}},
    {"C7", 0x6400, "", {}, {}},          {"C8", 0x6500, "", {}, {}},        {"C9", 0x6600, "", {}, {}},
    {"C10", 0x6700, "", {}, {}},
};

}  // namespace

FunctionKey* FunctionKeyTable() { return g_keys; }

const char* EffectiveKeyText(const FunctionKey& key) { return key.current[0] ? key.current : key.defaultText; }

int InsertKeyText(const char* text, char* line, size_t* cursor, bool insertMode, size_t size) {
    if (text == nullptr || text[0] == 0) return 0;
    const size_t lineLength = std::strlen(line);
    if (text[0] == '\r') {
        // A template: the words of the line become %0..%9.
        char words[LINE_SIZE + 1];
        std::strncpy(words, line, sizeof words - 1);
        words[sizeof words - 1] = 0;
        const char* params[10] = {"", "", "", "", "", "", "", "", "", ""};
        int count = 0;
        for (char* w = words; *w && count < 10;) {
            while (*w == ' ') *w++ = 0;
            if (!*w) break;
            params[count++] = w;
            while (*w && *w != ' ') ++w;
            if (*w) *w++ = 0;  // the tenth word too ends at its blank
        }
        char built[LINE_SIZE + 1];
        const size_t limit = (size < sizeof built ? size : sizeof built) - 1;
        size_t n = 0;
        const char* t = text + 1;
        while (*t && n < limit) {
            if (t[0] == '%' && t[1] == '%') {
                built[n++] = '%';
                t += 2;
            } else if (t[0] == '%' && std::isdigit(static_cast<unsigned char>(t[1]))) {
                const char* s = params[t[1] - '0'];
                while (*s && n < limit) built[n++] = *s++;
                if (*s) break;
                t += 2;
            } else if (t[0] == '%' && t[1] != 0) {
                if (n + 2 > limit) break;
                built[n++] = t[0];
                built[n++] = t[1];
                t += 2;
            } else {
                built[n++] = *t++;
            }
        }
        if (*t) return 2;
        int result = 1;
        if (n > 0 && built[n - 1] == '\r') {
            --n;
            result = 3;
        }
        std::memcpy(line, built, n);
        line[n] = 0;
        *cursor = n;
        return result;
    }
    size_t n = std::strlen(text);
    int result = 1;
    if (text[n - 1] == '\r') {
        --n;
        result = 3;
    }
    size_t at = *cursor > lineLength ? lineLength : *cursor;
    if (insertMode) {
        if (lineLength + n >= size) return 2;
        std::memmove(line + at + n, line + at, lineLength - at + 1);
        std::memcpy(line + at, text, n);
    } else {
        if (at + n >= size) return 2;
        std::memcpy(line + at, text, n);
        if (at + n > lineLength) line[at + n] = 0;
    }
    *cursor = at + n;
    return result;
}

int ExpandReferences(char* line, size_t size) {
    int expansions = 0;
    size_t i = 0;
    while (line[i]) {
        char c = line[i];
        if (c == '"') {
            ++i;
            while (line[i] && line[i] != '"') i += (line[i] == '\\' && line[i + 1]) ? 2 : 1;
            if (!line[i]) break;
            ++i;
            continue;
        }
        if (c != '%' || !line[i + 1] || !line[i + 2]) {
            ++i;
            continue;
        }
        const FunctionKey* key = nullptr;
        for (const FunctionKey& k : g_keys) {
            if (std::toupper(static_cast<unsigned char>(line[i + 1])) == k.name[0] &&
                std::toupper(static_cast<unsigned char>(line[i + 2])) == k.name[1]) {
                key = &k;
                break;
            }
        }
        const char* text = key ? EffectiveKeyText(*key) : "";
        if (!text[0]) {
            ++i;
            continue;
        }
        if (++expansions > 100) return EXPAND_TOO_MANY;
        char saved[LINE_SIZE + 1];
        std::strncpy(saved, line, sizeof saved - 1);
        saved[sizeof saved - 1] = 0;
        std::memmove(line + i, line + i + 3, std::strlen(line + i + 3) + 1);
        size_t cursor = i;
        int r = InsertKeyText(text, line, &cursor, true, size);
        if (r == 2) {
            std::strcpy(line, saved);
            return EXPAND_TOO_LONG;
        }
        if (text[0] == '\r') i = 0;  // a template rebuilt the whole line
    }
    return expansions;
}
