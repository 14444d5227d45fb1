#include "linebuf.h"

#include <cerrno>

void lb_init(LineBuf* b)
{
    b->len = 0;
    b->text[0] = '\0';
}

void lb_str(LineBuf* b, const char* s)
{
    while (*s && b->len < int(sizeof b->text) - 2)
        b->text[b->len++] = *s++;
    b->text[b->len] = '\0';
}

void lb_hex(LineBuf* b, uint64_t v, int min_digits)
{
    char tmp[20];
    int n = 0;
    do {
        tmp[n++] = "0123456789abcdef"[v & 15];
        v >>= 4;
    } while (v);
    while (n < min_digits && n < 16)
        tmp[n++] = '0';
    char out[24] = {'0', 'x'};
    int k = 2;
    while (n)
        out[k++] = tmp[--n];
    out[k] = '\0';
    lb_str(b, out);
}

void lb_dec(LineBuf* b, int64_t v)
{
    char tmp[24];
    int n = 0;
    bool neg = v < 0;
    uint64_t u = neg ? uint64_t(-(v + 1)) + 1 : uint64_t(v);
    do {
        tmp[n++] = char('0' + u % 10);
        u /= 10;
    } while (u);
    char out[26];
    int k = 0;
    if (neg)
        out[k++] = '-';
    while (n)
        out[k++] = tmp[--n];
    out[k] = '\0';
    lb_str(b, out);
}

const char* errno_name(int err)
{
    switch (err) {
    case EPERM: return "EPERM";
    case ENOENT: return "ENOENT";
    case EIO: return "EIO";
    case ENXIO: return "ENXIO";
    case EBADF: return "EBADF";
    case ENOMEM: return "ENOMEM";
    case EACCES: return "EACCES";
    case EFAULT: return "EFAULT";
    case EBUSY: return "EBUSY";
    case EEXIST: return "EEXIST";
    case ENODEV: return "ENODEV";
    case ENOTDIR: return "ENOTDIR";
    case EISDIR: return "EISDIR";
    case EINVAL: return "EINVAL";
    case ENOTTY: return "ENOTTY";
    case EROFS: return "EROFS";
    case ELOOP: return "ELOOP";
    case ENAMETOOLONG: return "ENAMETOOLONG";
    default: return nullptr;
    }
}

void lb_errno(LineBuf* b, int err)
{
    const char* n = errno_name(err);
    if (n) {
        lb_str(b, n);
    } else {
        lb_str(b, "E");
        lb_dec(b, err);
    }
}
