// Fixed-size text line building without stdio or allocation, for trace lines
// written from interposed calls and from the port trap handler.
#pragma once
#include <cstdint>

struct LineBuf {
    char text[256];
    int len;
};

void lb_init(LineBuf* b);
void lb_str(LineBuf* b, const char* s);
// "0x" and at least min_digits lower-case hex digits.
void lb_hex(LineBuf* b, uint64_t v, int min_digits);
void lb_dec(LineBuf* b, int64_t v);
// The errno's symbolic name, e.g. "ENOENT" (or "E<number>").
void lb_errno(LineBuf* b, int err);
const char* errno_name(int err);
