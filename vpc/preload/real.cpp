#include "real.h"

#include <dlfcn.h>

namespace real {
FILE* (*fopen)(const char*, const char*);
FILE* (*fopen64)(const char*, const char*);
int (*fclose)(FILE*);
int (*open)(const char*, int, ...);
int (*open64)(const char*, int, ...);
int (*openat)(int, const char*, int, ...);
int (*close)(int);
int (*fcntl)(int, int, ...);
int (*fcntl64)(int, int, ...);
int (*dup)(int);
int (*dup2)(int, int);
int (*dup3)(int, int, int);
int (*fstat)(int, struct stat*);
int (*fstat64)(int, struct stat64*);
int (*lstat)(const char*, struct stat*);
int (*lstat64)(const char*, struct stat64*);
int (*mknod)(const char*, mode_t, dev_t);
int (*mknodat)(int, const char*, mode_t, dev_t);
int (*remove)(const char*);
int (*ioctl)(int, unsigned long, ...);
void* (*mmap)(void*, size_t, int, int, int, off_t);
void* (*mmap64)(void*, size_t, int, int, int, off64_t);
int (*munmap)(void*, size_t);
int (*fsync)(int);
int (*fdatasync)(int);
size_t (*fread)(void*, size_t, size_t, FILE*);
int (*system)(const char*);
int (*execve)(const char*, char* const[], char* const[]);
int (*execv)(const char*, char* const[]);
int (*execvp)(const char*, char* const[]);
int (*execvpe)(const char*, char* const[], char* const[]);
int (*posix_spawn)(pid_t*, const char*, const posix_spawn_file_actions_t*, const posix_spawnattr_t*,
                   char* const[], char* const[]);
int (*posix_spawnp)(pid_t*, const char*, const posix_spawn_file_actions_t*, const posix_spawnattr_t*,
                    char* const[], char* const[]);
} // namespace real

namespace {

template <typename F>
void look_up(F*& slot, const char* name)
{
    slot = reinterpret_cast<F*>(dlsym(RTLD_NEXT, name));
}

} // namespace

void resolve_real()
{
    static bool done = false;
    if (done)
        return;
    look_up(real::fopen, "fopen");
    look_up(real::fopen64, "fopen64");
    look_up(real::fclose, "fclose");
    look_up(real::open, "open");
    look_up(real::open64, "open64");
    look_up(real::openat, "openat");
    look_up(real::close, "close");
    look_up(real::fcntl, "fcntl");
    look_up(real::fcntl64, "fcntl64");
    look_up(real::dup, "dup");
    look_up(real::dup2, "dup2");
    look_up(real::dup3, "dup3");
    look_up(real::fstat, "fstat");
    look_up(real::fstat64, "fstat64");
    look_up(real::lstat, "lstat");
    look_up(real::lstat64, "lstat64");
    look_up(real::mknod, "mknod");
    look_up(real::mknodat, "mknodat");
    look_up(real::remove, "remove");
    look_up(real::ioctl, "ioctl");
    look_up(real::mmap, "mmap");
    look_up(real::mmap64, "mmap64");
    look_up(real::munmap, "munmap");
    look_up(real::fsync, "fsync");
    look_up(real::fdatasync, "fdatasync");
    look_up(real::fread, "fread");
    look_up(real::system, "system");
    look_up(real::execve, "execve");
    look_up(real::execv, "execv");
    look_up(real::execvp, "execvp");
    look_up(real::execvpe, "execvpe");
    look_up(real::posix_spawn, "posix_spawn");
    look_up(real::posix_spawnp, "posix_spawnp");
    done = true;
}
