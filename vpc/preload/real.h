// The C library's own versions of the calls this library stands in for.
#pragma once
#include <cstdio>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace real {
extern FILE* (*fopen)(const char*, const char*);
extern FILE* (*fopen64)(const char*, const char*);
extern int (*fclose)(FILE*);
extern int (*open)(const char*, int, ...);
extern int (*open64)(const char*, int, ...);
extern int (*openat)(int, const char*, int, ...);
extern int (*close)(int);
extern int (*fcntl)(int, int, ...);
extern int (*fcntl64)(int, int, ...);  // null in a C library without it
extern int (*dup)(int);
extern int (*dup2)(int, int);
extern int (*dup3)(int, int, int);
extern int (*fstat)(int, struct stat*);
extern int (*fstat64)(int, struct stat64*);
extern int (*lstat)(const char*, struct stat*);
extern int (*lstat64)(const char*, struct stat64*);
extern int (*mknod)(const char*, mode_t, dev_t);
extern int (*mknodat)(int, const char*, mode_t, dev_t);
extern int (*remove)(const char*);
extern int (*ioctl)(int, unsigned long, ...);
extern void* (*mmap)(void*, size_t, int, int, int, off_t);
extern void* (*mmap64)(void*, size_t, int, int, int, off64_t);
extern int (*munmap)(void*, size_t);
extern int (*fsync)(int);
extern int (*fdatasync)(int);
extern size_t (*fread)(void*, size_t, size_t, FILE*);
extern int (*system)(const char*);
extern int (*execve)(const char*, char* const[], char* const[]);
extern int (*execv)(const char*, char* const[]);
extern int (*execvp)(const char*, char* const[]);
extern int (*execvpe)(const char*, char* const[], char* const[]);
extern int (*posix_spawn)(pid_t*, const char*, const posix_spawn_file_actions_t*, const posix_spawnattr_t*,
                          char* const[], char* const[]);
extern int (*posix_spawnp)(pid_t*, const char*, const posix_spawn_file_actions_t*, const posix_spawnattr_t*,
                           char* const[], char* const[]);
} // namespace real

// Looks every one of them up (once). Safe to call from any hook.
void resolve_real();
