#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "launcher.h"

int fail(const std::string& message)
{
    std::fprintf(stderr, "zorvpc: %s\n", message.c_str());
    return 2;
}

bool read_file(const std::string& path, std::string* out, uint64_t max)
{
    // Non-blocking: the open of a FIFO must not wait for a writer.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && uint64_t(st.st_size) <= max;
    if (!ok)
        errno = EINVAL;
    // One byte more than fstat said: a file that grows meanwhile is read to max at most.
    std::string text(ok ? size_t(st.st_size) + 1 : 0, '\0');
    size_t got = 0;
    while (ok && got < text.size() && got <= max) {
        ssize_t n = read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n >= 0;
        if (n <= 0)
            break;
        got += size_t(n);
    }
    int err = errno;
    close(fd);
    errno = err;
    if (!ok || got > max)
        return false;
    text.resize(got);
    *out = std::move(text);
    return true;
}

bool write_file(const std::string& path, const void* data, size_t size)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

bool load_machine_dir(const std::string& dir, Machine* m, std::string* err)
{
    std::string text;
    if (!read_file(dir + "/machine", &text)) {
        *err = dir + " holds no machine (zorvpc init " + dir + ")";
        return false;
    }
    if (!parse_machine(text, m, err)) {
        *err = dir + "/machine: " + *err;
        return false;
    }
    return true;
}
