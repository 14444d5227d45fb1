#include <cstdio>
#include <fstream>
#include <sstream>

#include "launcher.h"

int fail(const std::string& message)
{
    std::fprintf(stderr, "zorvpc: %s\n", message.c_str());
    return 2;
}

bool read_file(const std::string& path, std::string* out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream s;
    s << in.rdbuf();
    *out = s.str();
    return !in.bad();
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
