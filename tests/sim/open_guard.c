/* A test-only preload that stands behind the simulated board (later in
 * LD_PRELOAD) and replaces every libc function that opens a path by name.
 * An open of the physical memory device that gets past the board reaches
 * it here: it is refused (EACCES), never passed on, and recorded as one
 * line "FUNCTION PATH" appended to the file VARNIK_OPEN_GUARD_LOG names.
 * Every other call passes to libc unchanged. So a test can make each kind
 * of call on "/dev/mem" and see that the board took all of them, without
 * any of them reaching a real device, even where the board misses one. */
#undef _FILE_OFFSET_BITS
#undef _FORTIFY_SOURCE
#define _GNU_SOURCE 1
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

typedef int (*OpenFn)(const char *, int, ...);
typedef int (*OpenatFn)(int, const char *, int, ...);
typedef int (*Open2Fn)(const char *, int);
typedef int (*Openat2Fn)(int, const char *, int);
typedef int (*CreatFn)(const char *, mode_t);
typedef FILE *(*FopenFn)(const char *, const char *);
typedef FILE *(*FreopenFn)(const char *, const char *, FILE *);
typedef int (*SpawnAddopenFn)(posix_spawn_file_actions_t *, int, const char *, int, mode_t);

/* The next definition of name: libc's, or a sanitizer runtime's. */
#define NEXT(type, name) (__extension__(type) dlsym(RTLD_NEXT, name))

/* "/dev/mem", or any other name of the character device 1:1. */
static int IsMemoryDevice(int dirfd, const char *path) {
  struct stat st;
  if (path == NULL) return 0;
  if (strcmp(path, "/dev/mem") == 0) return 1;
  const int saved_errno = errno;
  const int is_device = fstatat(dirfd, path, &st, 0) == 0 && S_ISCHR(st.st_mode) &&
                        major(st.st_rdev) == 1 && minor(st.st_rdev) == 1;
  errno = saved_errno;
  return is_device;
}

/* Records the call and fails it with EACCES; returns -1. */
static int Refuse(const char *function, const char *path) {
  const char *log = getenv("VARNIK_OPEN_GUARD_LOG");
  OpenFn open_next = NEXT(OpenFn, "open");
  if (log != NULL && *log != '\0' && open_next != NULL) {
    char line[512];
    const int length = snprintf(line, sizeof line, "%s %s\n", function, path);
    const int fd = open_next(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
      if (length > 0 && write(fd, line, (size_t)length) < 0) {
        /* The test finds the line missing and fails. */
      }
      close(fd);
    }
  }
  errno = EACCES;
  return -1;
}

static int ModeArgument(int flags, va_list args) {
  return __OPEN_NEEDS_MODE(flags) ? va_arg(args, int) : 0;
}

#define GUARD_OPEN(name)                                               \
  EXPORT int name(const char *path, int flags, ...) {                  \
    va_list args;                                                      \
    va_start(args, flags);                                             \
    const int mode = ModeArgument(flags, args);                        \
    va_end(args);                                                      \
    if (IsMemoryDevice(AT_FDCWD, path)) return Refuse(#name, path);    \
    OpenFn next = NEXT(OpenFn, #name);                                 \
    return next != NULL ? next(path, flags, mode) : (errno = ENOSYS, -1); \
  }

#define GUARD_OPENAT(name)                                                    \
  EXPORT int name(int dirfd, const char *path, int flags, ...) {              \
    va_list args;                                                             \
    va_start(args, flags);                                                    \
    const int mode = ModeArgument(flags, args);                               \
    va_end(args);                                                             \
    if (IsMemoryDevice(dirfd, path)) return Refuse(#name, path);              \
    OpenatFn next = NEXT(OpenatFn, #name);                                    \
    return next != NULL ? next(dirfd, path, flags, mode) : (errno = ENOSYS, -1); \
  }

#define GUARD_OPEN_2(name)                                          \
  EXPORT int name(const char *path, int flags) {                    \
    if (IsMemoryDevice(AT_FDCWD, path)) return Refuse(#name, path); \
    Open2Fn next = NEXT(Open2Fn, #name);                            \
    return next != NULL ? next(path, flags) : (errno = ENOSYS, -1); \
  }

#define GUARD_OPENAT_2(name)                                               \
  EXPORT int name(int dirfd, const char *path, int flags) {                \
    if (IsMemoryDevice(dirfd, path)) return Refuse(#name, path);           \
    Openat2Fn next = NEXT(Openat2Fn, #name);                               \
    return next != NULL ? next(dirfd, path, flags) : (errno = ENOSYS, -1); \
  }

#define GUARD_CREAT(name)                                           \
  EXPORT int name(const char *path, mode_t mode) {                  \
    if (IsMemoryDevice(AT_FDCWD, path)) return Refuse(#name, path); \
    CreatFn next = NEXT(CreatFn, #name);                            \
    return next != NULL ? next(path, mode) : (errno = ENOSYS, -1);  \
  }

#define GUARD_FOPEN(name)                                                        \
  EXPORT FILE *name(const char *path, const char *mode) {                        \
    if (IsMemoryDevice(AT_FDCWD, path)) return Refuse(#name, path), (FILE *)NULL; \
    FopenFn next = NEXT(FopenFn, #name);                                         \
    return next != NULL ? next(path, mode) : (errno = ENOSYS, (FILE *)NULL);     \
  }

#define GUARD_FREOPEN(name)                                                        \
  EXPORT FILE *name(const char *path, const char *mode, FILE *stream) {            \
    if (IsMemoryDevice(AT_FDCWD, path)) return Refuse(#name, path), (FILE *)NULL;   \
    FreopenFn next = NEXT(FreopenFn, #name);                                       \
    return next != NULL ? next(path, mode, stream) : (errno = ENOSYS, (FILE *)NULL); \
  }

GUARD_OPEN(open)
GUARD_OPEN(open64)
GUARD_OPEN(__open)
GUARD_OPEN(__open64)
GUARD_OPENAT(openat)
GUARD_OPENAT(openat64)
GUARD_OPEN_2(__open_2)
GUARD_OPEN_2(__open64_2)
GUARD_OPENAT_2(__openat_2)
GUARD_OPENAT_2(__openat64_2)
GUARD_CREAT(creat)
GUARD_CREAT(creat64)
GUARD_FOPEN(fopen)
GUARD_FOPEN(fopen64)
GUARD_FOPEN(_IO_fopen)
GUARD_FREOPEN(freopen)
GUARD_FREOPEN(freopen64)

EXPORT int posix_spawn_file_actions_addopen(posix_spawn_file_actions_t *actions, int fd,
                                            const char *path, int flags, mode_t mode) {
  if (IsMemoryDevice(AT_FDCWD, path)) return Refuse("posix_spawn_file_actions_addopen", path), EACCES;
  SpawnAddopenFn next = NEXT(SpawnAddopenFn, "posix_spawn_file_actions_addopen");
  return next != NULL ? next(actions, fd, path, flags, mode) : ENOSYS;
}
