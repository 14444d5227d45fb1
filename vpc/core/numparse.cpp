#include "numparse.h"

bool parse_number(const char* text, uint64_t* out)
{
    if (!text || !*text)
        return false;
    const char* p = text;
    unsigned base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    uint64_t value = 0;
    int digits = 0;
    for (;; ++p) {
        unsigned d;
        char c = *p;
        if (c >= '0' && c <= '9')
            d = unsigned(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = unsigned(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = unsigned(c - 'A' + 10);
        else
            break;
        if (value > (UINT64_MAX - d) / base)
            return false;
        value = value * base + d;
        ++digits;
    }
    if (digits == 0)
        return false;
    uint64_t scale = 1;
    if (*p == 'K' || *p == 'k') {
        scale = 1024;
        ++p;
    } else if (*p == 'M' || *p == 'm') {
        scale = 1024 * 1024;
        ++p;
    }
    if (*p != '\0')
        return false;
    if (value > UINT64_MAX / scale)
        return false;
    *out = value * scale;
    return true;
}

bool parse_u32(const char* text, uint32_t* out)
{
    uint64_t v;
    if (!parse_number(text, &v) || v > 0xFFFFFFFFull)
        return false;
    *out = uint32_t(v);
    return true;
}
