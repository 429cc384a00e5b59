/*
 * varnik_dio simulated board.
 *
 * libvarnik_dio_sim.so is preloaded into an unmodified program
 * (LD_PRELOAD=.../libvarnik_dio_sim.so). Every open of "/dev/mem" in that
 * program is sent to a board file instead: a sparse regular file of 4 GiB in
 * which file offset == physical address, so both register windows
 * (GPIO at 0xFDAE0000, LEDs at 0xFDAF0000) and any other 32-bit address map
 * through the real kernel open/mmap/munmap/close path, and register state
 * persists between programs as it does on a board. A new board file starts
 * with every byte of both register window pages at 0x03: all outputs
 * inactive, all LEDs dark, all inputs inactive.
 *
 * The real "/dev/mem" is never opened through libc's calls that open a
 * path by name (open, openat, creat, fopen, freopen, a posix_spawn file
 * action; by that name or any other path to the device) while the library
 * is loaded: with no board configured, opening it fails with ENOENT, as on
 * a machine without the device. A stdio stream on the device is a stream
 * on the board file, whose descriptor counts as the device's until the
 * stream is closed; a spawned program's file action opens the board file
 * by its path, untraced. Every other file, descriptor and mapping passes
 * through untouched.
 *
 * The board file must be a regular file of exactly 4 GiB (4294967296
 * bytes). Any other file (too short, too long, a directory, a device, a
 * FIFO) is never opened or written: the program's open of the device fails
 * with EINVAL (EISDIR for a directory) and one line on standard error names
 * the file and what it is. When the board file cannot be opened or created
 * (permission, a missing folder, ...), the open fails with that error and
 * one line names the board file, so a simulated failure never reads like
 * one of a real board. A missing board file is created at the next open.
 * Register pages that are holes (a board file made with truncate) are given
 * their storage at each open; where the file system has no room for them,
 * the open fails with ENOSPC (or EDQUOT) and one line says so, instead of
 * a bus error at the program's first access.
 *
 * Environment, read once when the library loads. An empty value is the
 * same as none. A value the board cannot follow ends the program before
 * it runs, with exit status 2 and one line on standard error naming the
 * variable and its value:
 *   VARNIK_SIM_BOARD  path of the board file; created (sparse) if missing.
 *                     Relative paths are taken from the folder the program
 *                     starts in. Ends the program if it is longer than
 *                     PATH_MAX or a missing board cannot be created there
 *                     (e.g. its folder does not exist, or a symbolic link
 *                     to nothing is in its place). An existing file
 *                     that is not a board is refused at each open instead.
 *   VARNIK_SIM_TRACE  path of a trace file, a regular file (created if
 *                     missing); one line is appended for every device
 *                     call, in order (format below). Ends the program if
 *                     it is not a regular file (a FIFO is never opened)
 *                     or cannot be opened for appending.
 *   VARNIK_SIM_FAIL   "call:errno[:nth]": the nth device call of that kind
 *                     fails with that errno, e.g. "mmap:12" or
 *                     "munmap:22:3". call is open, mmap or munmap; errno is
 *                     1..4095 and nth 1..4294967295 (default 1), both
 *                     decimal without sign or spaces. Anything else ends
 *                     the program.
 *
 * Trace lines, one per device call, fields in this order:
 *   open flags=0x101002 pending=0
 *   mmap length=4096 prot=0x3 flags=0x1 offset=0xfdae0000 pending=0
 *   munmap length=4096 offset=0xfdae0000 pending=0
 *   close pending=0
 *   fflush stdout pending=0
 * flags, prot and offset are the values the program passed, in hex; the
 * munmap offset is the device offset the unmapped region was mapped from.
 * A flush of stdout is traced while a device descriptor is open.
 * pending is the number of bytes waiting in stdout's buffer at the time of
 * the call (__fpending), which shows where the program flushed. A call
 * failed by injection ends with " error=N" and is not passed to the kernel.
 *
 * The functions below let a test steer the board from inside the process.
 */
#ifndef VARNIK_DIO_SIM_H
#define VARNIK_DIO_SIM_H

#ifdef __cplusplus
extern "C" {
#endif

enum varnik_sim_call {
    VARNIK_SIM_OPEN = 0,
    VARNIK_SIM_MMAP = 1,
    VARNIK_SIM_MUNMAP = 2
};

/* Use the board file at path from the next open on; NULL means no board.
 * A missing file is created now; an existing one is checked at each open.
 * Returns 0, or -1 with errno set if the file cannot be created. */
int varnik_sim_set_board(const char *path);

/* Append trace lines to path from now on; NULL stops tracing.
 * Returns 0, or -1 with errno set if the file cannot be opened, EINVAL if
 * it is not a regular file. */
int varnik_sim_set_trace(const char *path);

/* The nth device call of this kind from now on (1 = the next one) fails
 * with errno `error`. nth 0 disarms. One armed fault per kind. */
void varnik_sim_fail(enum varnik_sim_call call, int error, unsigned nth);

/* Descriptors of the device and mappings of it that are open right now. */
unsigned varnik_sim_open_descriptors(void);
unsigned varnik_sim_open_mappings(void);

/* 1 if this library's definitions of every call it replaces (open, open64,
 * openat, openat64 and their fortified forms, creat, creat64, fopen,
 * fopen64, freopen, freopen64, fclose, posix_spawn_file_actions_addopen,
 * mmap, mmap64, munmap, close, fflush) are the ones the process resolves,
 * so that no call can reach the real device; 0 otherwise. Tests refuse to
 * run unless this holds. */
int varnik_sim_interposing(void);

#ifdef __cplusplus
}
#endif

#endif /* VARNIK_DIO_SIM_H */
