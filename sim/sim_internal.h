// Inside the simulated board: what its files share. Include this first in
// every source of the preload.
//
// The board defines the entry points for both offset widths itself (open
// and open64, mmap and mmap64, ...), so it must see the plain declarations,
// not the ones that the 64-bit file offset mode redirects to the *64 names.
// Likewise the fortified inline open wrappers must stay out of the way.
#ifndef VARNIK_SIM_INTERNAL_H
#define VARNIK_SIM_INTERNAL_H

#undef _FILE_OFFSET_BITS
#undef _FORTIFY_SOURCE
#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1
#endif

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <spawn.h>
#include <sys/types.h>

#include "varnik_dio_sim.h"

#define VARNIK_EXPORT __attribute__((visibility("default")))
#define VARNIK_HIDDEN __attribute__((visibility("hidden")))

namespace varnik::sim {

// --- The real libc functions (sim_real.cpp), looked up once with RTLD_NEXT.

enum RealIndex {
  kRealOpen,
  kRealOpen64,
  kRealOpenat,
  kRealOpenat64,
  kRealOpen2,
  kRealOpen64_2,
  kRealOpenat2,
  kRealOpenat64_2,
  kRealMmap,
  kRealMmap64,
  kRealMunmap,
  kRealClose,
  kRealFflush,
  kRealCreat,
  kRealCreat64,
  kRealFopen,
  kRealFopen64,
  kRealFreopen,
  kRealFreopen64,
  kRealFclose,
  kRealSpawnAddopen,
  kRealCount
};

extern const char *const kRealNames[kRealCount];

void *RealSymbol(RealIndex index);

template <typename Fn>
Fn Real(RealIndex index) {
  void *p = RealSymbol(index);
  Fn fn;
  static_assert(sizeof fn == sizeof p, "function and data pointers differ in size");
  memcpy(&fn, &p, sizeof fn);
  return fn;
}

using OpenFn = int (*)(const char *, int, ...);
using OpenatFn = int (*)(int, const char *, int, ...);
using Open2Fn = int (*)(const char *, int);
using Openat2Fn = int (*)(int, const char *, int);
using MmapFn = void *(*)(void *, size_t, int, int, int, off_t);
using Mmap64Fn = void *(*)(void *, size_t, int, int, int, off64_t);
using MunmapFn = int (*)(void *, size_t);
using CloseFn = int (*)(int);
using FflushFn = int (*)(FILE *);
using CreatFn = int (*)(const char *, mode_t);
using FopenFn = FILE *(*)(const char *, const char *);
using FreopenFn = FILE *(*)(const char *, const char *, FILE *);
using FcloseFn = int (*)(FILE *);
using SpawnAddopenFn = int (*)(posix_spawn_file_actions_t *, int, const char *, int, mode_t);

// ENOSYS if libc has no such function.
int RealOpen64(const char *path, int flags, mode_t mode);
int RealClose(int fd);

// --- The one lock over all board state (sim_lock.cpp).

void Lock();
void Unlock();
void InstallForkHandlers();

// --- Settings from the environment, read once (sim_environment.cpp).

void Init();

// --- The board file (sim_board.cpp). Callers hold the lock.

// Remembers path (made absolute) as the board and creates it if missing;
// NULL: no board. Returns 0, or -1 with errno set.
int SetBoardLocked(const char *path);
bool HasBoardLocked();
// Opens the board for a device open with these flags; -1 with errno set.
int OpenBoardLocked(int flags);
// The board file, checked (or made) for a spawned program to open by its
// path; nullptr with errno set, and reported, when it cannot be.
const char *BoardForSpawnLocked();
// The flags an open of the device keeps when it opens the board file.
int BoardOpenFlags(int flags);

// --- The board's register pages (sim_board_pages.cpp).

// Gives the register pages of board file fd, just opened with flags, the
// storage they lack; -1 with errno set, and reported, when the file
// system has no room for them.
int StoreRegisterPages(const char *board, int fd, int flags);

// --- The trace (sim_trace.cpp). Callers hold the lock.

int SetTraceLocked(const char *path);
// Appends one trace line (given without its newline) and the error suffix.
void Trace(const char *line, bool failed, int error);
// Bytes waiting in stdout's buffer.
size_t Pending();

// --- Fault injection (sim_faults.cpp). Callers hold the lock.

void ArmFaultLocked(varnik_sim_call call, int error, unsigned nth);
// True if the armed fault of this kind fires on the current call.
bool FaultFires(varnik_sim_call call, int *error);

// --- Device descriptors and mappings (sim_bookkeeping.cpp). Callers hold
// the lock.

bool IsDeviceDescriptor(int fd);
// False (and nothing recorded) when the table is full.
bool RecordDescriptor(int fd);
void ForgetDescriptor(int fd);
size_t DescriptorCount();

bool MappingTableFull();
// Room must have been checked with MappingTableFull before the mapping was
// made; an older record inside the new range was replaced and is dropped.
void RecordMapping(uintptr_t start, size_t length, uint64_t offset);
// The device offset that the mapping at start came from; false if start is
// not the start of a device mapping.
bool FindMapping(uintptr_t start, uint64_t *offset);
void ForgetMapping(uintptr_t start);
size_t MappingCount();

// --- The device's calls (sim_device.cpp).

// True if path names the physical memory device, by any name.
bool IsDevice(int dirfd, const char *path);
int DeviceOpen(int flags);
// Each returns false, doing nothing, if the call is not one on the device.
bool DeviceMmap(void *addr, size_t length, int prot, int flags, int fd, uint64_t offset,
                void **result);
bool DeviceMunmap(void *addr, size_t length, int *result);
bool DeviceClose(int fd, int *result);
// libc closed (or is about to replace) descriptor fd itself, as fclose and
// freopen do: if it is one on the device, it is forgotten and its close
// traced.
void DeviceClosedByLibc(int fd);
void TraceStdoutFlush();

// --- The device as a stdio stream (sim_streams.cpp).

FILE *DeviceFopen(const char *mode);
FILE *DeviceFreopen(const char *mode, FILE *stream);
bool IsDeviceStream(FILE *stream);
// Before stream is closed or reopened: forgets its descriptor, and traces
// its close, if it is one on the device.
void DeviceStreamClosing(FILE *stream);

// --- A spawned program's open of the device (sim_spawn.cpp).

int DeviceSpawnAddopen(posix_spawn_file_actions_t *actions, int fd, int flags, mode_t mode);

// --- Messages.

void WriteStderr(const char *text);

}  // namespace varnik::sim

// This library's own definitions of the interposed names (sim_interpose.cpp),
// whatever the process resolves the public names to.
extern "C" {
VARNIK_HIDDEN int self_open(const char *, int, ...);
VARNIK_HIDDEN int self_open64(const char *, int, ...);
VARNIK_HIDDEN int self_openat(int, const char *, int, ...);
VARNIK_HIDDEN int self_openat64(int, const char *, int, ...);
VARNIK_HIDDEN int self_open_2(const char *, int);
VARNIK_HIDDEN int self_open64_2(const char *, int);
VARNIK_HIDDEN int self_openat_2(int, const char *, int);
VARNIK_HIDDEN int self_openat64_2(int, const char *, int);
VARNIK_HIDDEN void *self_mmap(void *, size_t, int, int, int, off_t) noexcept;
VARNIK_HIDDEN void *self_mmap64(void *, size_t, int, int, int, off64_t) noexcept;
VARNIK_HIDDEN int self_munmap(void *, size_t) noexcept;
VARNIK_HIDDEN int self_close(int);
VARNIK_HIDDEN int self_fflush(FILE *);
VARNIK_HIDDEN int self_creat(const char *, mode_t);
VARNIK_HIDDEN int self_creat64(const char *, mode_t);
VARNIK_HIDDEN FILE *self_fopen(const char *, const char *);
VARNIK_HIDDEN FILE *self_fopen64(const char *, const char *);
VARNIK_HIDDEN FILE *self_freopen(const char *, const char *, FILE *);
VARNIK_HIDDEN FILE *self_freopen64(const char *, const char *, FILE *);
VARNIK_HIDDEN int self_fclose(FILE *);
VARNIK_HIDDEN int self_spawn_addopen(posix_spawn_file_actions_t *, int, const char *, int,
                                     mode_t) noexcept;
}

#endif
