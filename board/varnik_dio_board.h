/*
 * varnik_dio_board: the board's digital I/O for programs that hold it open.
 *
 * Eight digital inputs (DI0..DI7), eight digital outputs (DO0..DO7) and
 * three LEDs (LED1..LED3), each a pin register of the board's GPIO
 * controller. vdio_open maps the two register pages once; every read and
 * write after that is one byte load or store on the held mapping, with no
 * system call, until vdio_close.
 *
 * Levels are logical everywhere in this interface: 1 means an input is
 * active, an output is driven, an LED is lit. The registers are active-low;
 * the library inverts on the way in and out. Outputs and LEDs read back what
 * their registers hold, not what an external circuit senses.
 *
 * Errors: every function that can fail returns a negative errno value
 * (-EINVAL, -ENOENT, ...) and changes nothing; 0 or a non-negative result
 * means success. errno itself is left as the failing system call set it. No
 * function prints, exits, or raises a signal; the only memory handed to the
 * caller is the board and the watcher, which vdio_close and vdio_watch_free
 * release.
 *
 * Threads: one board may be used from several threads at once. Reads and
 * writes take no lock: each line has its own register byte, and each access
 * is a single byte-wide load or store, so threads writing different lines
 * never disturb each other. A board held through the board service (see
 * vdio_open) takes a lock around each call's round trip instead. vdio_close
 * must not race with other calls on the same board. A watcher belongs to one
 * thread at a time. A board or watcher held through the service is one
 * connection: a child process after fork opens its own rather than use the
 * parent's.
 *
 * Plain C99 and C++ alike; the library needs nothing but libc.
 */
#ifndef VARNIK_DIO_BOARD_H
#define VARNIK_DIO_BOARD_H

#include <stdint.h>

#include "varnik_dio_board_version.h"

#if defined(VDIO_BUILDING) && defined(__GNUC__)
#define VDIO_API __attribute__((visibility("default")))
#else
#define VDIO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Lines -------------------------------------------------------------- */

/* Line numbers: the inputs, then the outputs, then the LEDs. Bit n of a
 * line set (vdio_watch_new) is line n. */
enum vdio_line {
    VDIO_DI0 = 0, VDIO_DI1, VDIO_DI2, VDIO_DI3,
    VDIO_DI4, VDIO_DI5, VDIO_DI6, VDIO_DI7,
    VDIO_DO0 = 8, VDIO_DO1, VDIO_DO2, VDIO_DO3,
    VDIO_DO4, VDIO_DO5, VDIO_DO6, VDIO_DO7,
    VDIO_LED1 = 16, VDIO_LED2, VDIO_LED3,
    VDIO_LINE_COUNT = 19
};

/* Line sets of whole groups, for vdio_watch_new. */
#define VDIO_INPUT_LINES 0x000000FFu
#define VDIO_OUTPUT_LINES 0x0000FF00u
#define VDIO_LED_LINES 0x00070000u
#define VDIO_ALL_LINES 0x0007FFFFu

enum vdio_direction {
    VDIO_INPUT = 0,  /* read only: what the line senses */
    VDIO_OUTPUT = 1, /* driven by the board, read back */
    VDIO_LED = 2     /* driven by the board, read back */
};

/* Fields of fixed width (enumerations as int32_t), so that the layout does
 * not depend on the compiler's enum size. */
struct vdio_line_info {
    const char *name;             /* "DI0".."DI7", "DO0".."DO7", "LED1".."LED3" */
    int32_t direction;            /* enum vdio_direction */
    uint32_t address;             /* physical address of the line's register byte */
    uint8_t bit;                  /* the register bit that carries the level: 1 for
                                     inputs, 0 for outputs and LEDs */
    uint8_t active_low;           /* 1: a clear bit is level 1 (every line of this board) */
};

/* The line called name: "DI0".."DI7", "DO0".."DO7" or "LED1".."LED3", in any
 * case. -EINVAL for any other name or NULL. */
VDIO_API int vdio_line_from_name(const char *name);

/* The name of line 0..18 as above (a static string), or NULL outside the map.
 * Names are compared as ASCII, whatever the locale. */
VDIO_API const char *vdio_line_name(int line);

/* Fills *info for line 0..18. -EINVAL outside the map or for a NULL info. */
VDIO_API int vdio_get_line_info(int line, struct vdio_line_info *info);

/* ---- The board ---------------------------------------------------------- */

typedef struct vdio_board vdio_board;

/* Opens device read-write with synchronous writes and maps the page of the
 * GPIO window (0xFDAE0000) and of the LED window (0xFDAF0000), shared,
 * readable and writable, until vdio_close. *board is set only on success.
 *
 * Two kinds of device are mapped: the physical memory device (the
 * character device 1:1, whatever its name) and a board file, a regular file
 * of exactly 0x100000000 bytes whose file offset is the physical address (as
 * the simulated board's). A Unix socket is taken for the board service's
 * (dio-boardd), which holds the board for every program: the board is then
 * held through a connection to it, and every call below gives the same
 * results and errors through it, with two more: -ECONNRESET from the call
 * that finds the service gone (it closed the connection, or did not answer
 * within 5 s) and -ENOTCONN from every call after it. Anything else is
 * refused before it is opened or mapped. The size is checked when the board
 * is opened: a board file cut short afterwards (truncate) makes the next
 * access end the program with SIGBUS, as for any mapped file.
 *
 * A NULL device is $VARNIK_DIO_DEVICE when set and not empty (ignored in a
 * set-user-ID or set-group-ID program); else the service's socket
 * VDIO_SERVICE_SOCKET ("/run/varnik-dio/board.sock", the same path whatever
 * the library's install prefix) when there is a socket there, with no
 * fallback when the service cannot be reached, so that no program bypasses
 * the board's owner while it restarts; else "/dev/mem".
 *
 * Errors: -EINVAL for a NULL board, or a device that is neither kind (a file
 * of another size, a directory, another device); -ENOENT when there is no
 * such device; -EACCES when the caller may not open it (the physical memory
 * device needs root or CAP_SYS_RAWIO, a board file read and write
 * permission on it); -EPERM when the kernel refuses the mapping (a kernel
 * with strict /dev/mem checks whose driver claimed the registers);
 * -ENOSPC (or -EDQUOT) for a board file whose register pages are holes
 * that its file system has no room to fill (opening it gives them their
 * storage where there is room, so that no access can end in SIGBUS);
 * -ENOMEM; any other errno of open or mmap. For the service's socket:
 * -ENAMETOOLONG for a path longer than a socket address holds (107 bytes);
 * -EACCES for a user outside the socket's group; -ECONNREFUSED for a socket
 * no service listens on (a stale one); -EUSERS when the service serves as
 * many programs as it may; -EPROTO for a service of another protocol
 * version, or one whose answer is not a board service's; -ECONNRESET for
 * one that hangs up or does not answer within 5 s; any other errno of
 * connect. Nothing is left open or mapped on failure. */
VDIO_API int vdio_open(const char *device, vdio_board **board);

/* Unmaps, closes (the service's connection too) and frees the board. NULL is
 * ignored. */
VDIO_API void vdio_close(vdio_board *board);

/* ---- Reading and writing ------------------------------------------------ */

/* The level of line 0..18: 0 or 1. -EINVAL for a NULL board or a line
 * outside the map. */
VDIO_API int vdio_get(const vdio_board *board, int line);

/* Drives output or LED line (VDIO_DO0..VDIO_LED3) to level 0 or 1. Returns 0.
 * -EINVAL, with nothing written, for a NULL board, an input line, a line
 * outside the map or a level other than 0 and 1. */
VDIO_API int vdio_set(vdio_board *board, int line, int level);

/* Every line in one pass: bit n of inputs is DIn, of outputs DOn, bit i of
 * leds LED(i+1); the bits above each group are 0. */
struct vdio_state {
    uint8_t inputs;
    uint8_t outputs;
    uint8_t leds;
};

/* Fills *state from all nineteen registers. -EINVAL for a NULL argument
 * (*state is then untouched). */
VDIO_API int vdio_read(const vdio_board *board, struct vdio_state *state);

/* DI0..DI7 into bits 0..7 of *mask. -EINVAL for a NULL argument. */
VDIO_API int vdio_read_inputs(const vdio_board *board, uint8_t *mask);

/* Changes exactly the outputs whose bit is set in mask (bit n = DOn) to the
 * level of the same bit of values; the others are not touched, since each
 * line has its own register byte. The lines change one after another, DO0
 * first. -EINVAL for a NULL board. */
VDIO_API int vdio_write_outputs(vdio_board *board, uint8_t mask, uint8_t values);

/* The same for the LEDs: bit i = LED(i+1). -EINVAL, with nothing written,
 * for a NULL board or a mask bit above bit 2. */
VDIO_API int vdio_write_leds(vdio_board *board, uint8_t mask, uint8_t values);

/* ---- Change events ------------------------------------------------------ */

/* The board has no interrupts: a watcher polls the lines it watches. It
 * polls only while the caller waits in vdio_watch_next; a change that comes
 * and goes while the caller is elsewhere is not seen, and a level seen before
 * the caller was away for longer than the debounce time (and two intervals)
 * must hold its debounce time again from the next poll.
 *
 * A watcher on a board held through the board service differs: the service
 * polls and debounces for it all the time, on a connection of the
 * watcher's own, and keeps the changes found while the caller is elsewhere
 * until vdio_watch_next takes them (vdio_watch_fd tells an event loop when
 * one waits). The service keeps a bounded number of them: a watcher whose
 * caller falls that far behind is dropped by the service, and
 * vdio_watch_next returns the changes kept and then -ENOBUFS from then on
 * (free it and start a new one). A lost service: -ECONNRESET, then
 * -ENOTCONN. */
typedef struct vdio_watch vdio_watch;

enum vdio_edge {
    VDIO_RISING = 1, /* the level went from 0 to 1 */
    VDIO_FALLING = 2 /* the level went from 1 to 0 */
};

struct vdio_event {
    int32_t line;          /* 0..18 */
    int32_t value;         /* the new level, 0 or 1 */
    int32_t edge;          /* enum vdio_edge */
    uint64_t timestamp_ns; /* CLOCK_MONOTONIC, the poll that first saw the new level */
};

/* Polling limits, in microseconds. */
#define VDIO_WATCH_MIN_INTERVAL_US 1u
#define VDIO_WATCH_MAX_INTERVAL_US 10000000u /* 10 s */
#define VDIO_WATCH_MAX_DEBOUNCE_US 60000000u /* 60 s */

/* Watches the lines whose bit is set in lines (bit n = line n, any
 * direction), polling every interval_us. The levels at this call are the
 * starting point: only changes after it are reported. A new level is
 * reported once it has held for debounce_us (0: at the first poll that sees
 * it): a change shorter than debounce_us is never reported; one that lasts
 * at least debounce_us plus two polling intervals is reported, once, and
 * changes are reported in the order they happened (lines that change at the
 * same poll in line order). The board must stay open while the watcher
 * lives.
 *
 * Errors: -EINVAL for a NULL argument, an empty line set or bits above line
 * 18, interval_us outside VDIO_WATCH_MIN_INTERVAL_US..VDIO_WATCH_MAX_INTERVAL_US
 * or debounce_us above VDIO_WATCH_MAX_DEBOUNCE_US; -ENOMEM; through the
 * board service, any error of vdio_open's on the service's socket, since the
 * watcher connects to it anew. */
VDIO_API int vdio_watch_new(const vdio_board *board, uint32_t lines, uint32_t interval_us,
                            uint32_t debounce_us, vdio_watch **watch);

/* Waits for the next change: 1 with *event filled in, 0 when timeout_ms
 * milliseconds passed without one (0: look once and return; negative: wait
 * for ever). -EINTR when a signal handler ran while it slept between polls
 * (the watcher is intact; call again to go on); -EINVAL for a NULL argument.
 * A signal that comes while it polls runs its handler without ending the
 * wait: a program that stops on a signal waits in slices (a timeout of, say,
 * 100 ms) and looks at its own flag between them. Through the board
 * service: -ENOBUFS once the service dropped the watcher, -ECONNRESET when
 * the service went away, -ENOTCONN after it, -EPROTO for a message that is
 * no event (see above). */
VDIO_API int vdio_watch_next(vdio_watch *watch, int timeout_ms, struct vdio_event *event);

/* Frees the watcher. NULL is ignored. */
VDIO_API void vdio_watch_free(vdio_watch *watch);

/* ---- The device a board was opened on ----------------------------------- */

/* The board service's socket, where vdio_open(NULL) looks first, whatever
 * the install prefix; and the environment variable that overrides it. */
#define VDIO_SERVICE_SOCKET "/run/varnik-dio/board.sock"
#define VDIO_DEVICE_VARIABLE "VARNIK_DIO_DEVICE"

enum vdio_device_kind {
    VDIO_DEVICE_MEMORY = 1,     /* the physical memory device */
    VDIO_DEVICE_BOARD_FILE = 2, /* a board file (the simulated board's) */
    VDIO_DEVICE_SERVICE = 3     /* the board service's socket (dio-boardd) */
};

/* What board was opened on: enum vdio_device_kind. -EINVAL for NULL. */
VDIO_API int vdio_device_kind(const vdio_board *board);

/* A descriptor that becomes readable (poll, epoll, an event loop) when an
 * event is waiting for vdio_watch_next, or when the service is lost or
 * dropped the watcher (vdio_watch_next then says which). It stays the
 * watcher's: never read from or close it. -EOPNOTSUPP for a watcher on a
 * device opened directly, which polls only inside vdio_watch_next;
 * -EINVAL for NULL. */
VDIO_API int vdio_watch_fd(const vdio_watch *watch);

/* ---- Claims: who drives a line ------------------------------------------ */

/* Through the board service only: on a device opened directly these
 * functions return -EOPNOTSUPP, since nobody would be left to keep the
 * promise once the program is gone; so they do through a service of a
 * version before claims (one not restarted since an upgrade: every other
 * call works through it).
 *
 * A claim makes outputs and LEDs this board handle's own: while it holds
 * them, a write of any other handle to one of them
 * (vdio_set, vdio_write_outputs, vdio_write_leds, vdio_pulse) fails with
 * -EBUSY and changes nothing, not even its other lines. Reads and watchers
 * are never refused. A claim ends by vdio_release, vdio_close, or the
 * handle's connection ending for any reason (the program exits, crashes or
 * is killed, the service stops): the service then drives its lines to their
 * safe values at once, or leaves them, with VDIO_CLAIM_KEEP.
 *
 * A lease (lease_ms above 0) asks the service to apply the safe values when
 * the handle falls silent: every call on the board handle feeds it (its
 * watchers' do not); when none came for lease_ms, the handle's claimed
 * lines go to their safe values, kept ones too. The claims stay, and the
 * holder's next write is applied on top. One lease per handle: the last
 * claim's applies to all of the handle's claims. */

/* The shortest lease, in milliseconds: a shorter one would run out at any
 * scheduling delay. */
#define VDIO_CLAIM_MIN_LEASE_MS 10u

#define VDIO_CLAIM_KEEP 1u /* leave the lines as they are when the claim ends (a lease
                              that runs out still applies the safe values) */

struct vdio_claim {
    uint32_t size;        /* sizeof(struct vdio_claim): lets the struct grow */
    uint32_t lines;       /* outputs and LEDs to claim, a line set as for vdio_watch_new */
    uint32_t safe_values; /* levels the lines get when the claim ends or its lease runs
                             out; bit n = line n, only bits of lines */
    uint32_t flags;       /* VDIO_CLAIM_KEEP, or 0 */
    uint32_t lease_ms;    /* 0: no lease; else at least VDIO_CLAIM_MIN_LEASE_MS */
    char consumer[32];    /* printable ASCII, at most 31 bytes and a NUL: shown to
                             others, logged; empty: the program's name */
};

/* Claims every line of claim->lines for this handle, or none. Lines this
 * handle holds already take the new safe values, flags and consumer.
 * -EBUSY when another handle holds one of them or a pulse is under way on
 * one; -EINVAL for a NULL argument, a size other than sizeof(struct
 * vdio_claim), no lines, an input or a line outside the map, safe values
 * outside lines, unknown flags, a lease from 1 to VDIO_CLAIM_MIN_LEASE_MS - 1,
 * or a consumer that is not printable ASCII ending in a NUL within its 32
 * bytes. */
VDIO_API int vdio_claim(vdio_board *board, const struct vdio_claim *claim);

/* Ends this handle's claim on lines (a line set), applying their safe values
 * (or leaving them, with VDIO_CLAIM_KEEP). -EINVAL, with nothing released,
 * for an empty set or a line this handle does not hold. */
VDIO_API int vdio_release(vdio_board *board, uint32_t lines);

/* Pulse limits, in microseconds and pulses. A pulse train holds its line
 * against every write and cannot be called back, so the whole of it, from
 * the first edge to the last, is bounded too. */
#define VDIO_PULSE_MAX_WIDTH_US 3600000000ull  /* 1 h */
#define VDIO_PULSE_MAX_PERIOD_US 3600000000ull /* 1 h */
#define VDIO_PULSE_MAX_TRAIN_US 3600000000ull  /* 1 h: period * (count - 1) + width */
#define VDIO_PULSE_MAX_COUNT 1000000u

/* Has the service pulse output or LED line: it turns the line to the other
 * level, holds it for width_us and returns it to its starting level, count
 * times, each pulse starting period_us after the one before (period_us is
 * ignored for one pulse). Returns once the first pulse has begun; the
 * service finishes the pulses even when the program is gone. While they
 * last every write to the line is -EBUSY, this handle's too
 * (VDIO_CLAIM_INFO_PULSING tells when they are over). A claim that ends, or
 * whose lease runs out, cuts its lines' pulses short: the safe value wins.
 * -EBUSY when the line is pulsing already or another handle holds it;
 * -EINVAL for an input or a line outside the map, width_us of 0 or above
 * VDIO_PULSE_MAX_WIDTH_US, count of 0 or above VDIO_PULSE_MAX_COUNT, or
 * (for more than one pulse) period_us not above width_us or above
 * VDIO_PULSE_MAX_PERIOD_US, or a train longer than VDIO_PULSE_MAX_TRAIN_US.
 * The service logs each pulse train it starts, naming the program. */
VDIO_API int vdio_pulse(vdio_board *board, int line, uint64_t width_us, uint32_t count,
                        uint64_t period_us);

/* vdio_claim_info's flags. */
#define VDIO_CLAIM_INFO_SAFE_VALUE 1u /* the line's safe value is 1 */
#define VDIO_CLAIM_INFO_KEEP 2u       /* claimed with VDIO_CLAIM_KEEP */
#define VDIO_CLAIM_INFO_MINE 4u       /* held through the handle that asks */
#define VDIO_CLAIM_INFO_LEASE_OUT 8u  /* the holder's lease ran out: its lines are at
                                         their safe values until the holder writes */
#define VDIO_CLAIM_INFO_PULSING 16u   /* a pulse is under way (claimed or not) */

struct vdio_claim_info {
    uint32_t size;     /* sizeof(struct vdio_claim_info), set by the caller */
    uint32_t flags;    /* VDIO_CLAIM_INFO_* */
    int32_t pid;       /* the holder's process, as the service sees it */
    uint32_t lease_ms; /* the holder's lease, 0: none */
    char consumer[32]; /* the holder's consumer name, NUL-terminated */
};

/* Who holds line (0..18): 1 with *info filled when a handle holds it, 0
 * when none does (info is then zero but for its size and
 * VDIO_CLAIM_INFO_PULSING). -EINVAL for a NULL argument, a size other than
 * sizeof(struct vdio_claim_info) or a line outside the map. */
VDIO_API int vdio_get_claim(vdio_board *board, int line, struct vdio_claim_info *info);

/* ---- Input functions (through the board service) ------------------------ */

/* The board service keeps, for every input and always, what plant I/O
 * modules call input functions: counts of its rising and falling edges, its
 * frequency, two latches and its on-time, all seen by the service's sampler
 * after the input's debounce (dio-boardd --debounce). Every client sees the
 * same figures, and the service keeps them across its restarts (in its
 * state file: after a clean stop nothing is lost; after a crash or kill -9
 * at most its --state-interval). Edges that come while no service runs are
 * not counted. On a device opened directly, or through a service of a
 * version before them, these functions return -EOPNOTSUPP. */

#define VDIO_INPUT_COUNT 8

/* vdio_input_stats's latches. */
#define VDIO_INPUT_ROSE 1u /* a rising edge was seen since the latches were cleared */
#define VDIO_INPUT_FELL 2u /* a falling edge was seen since the latches were cleared */

struct vdio_input_stats {
    uint32_t size;          /* sizeof(struct vdio_input_stats), set by the caller */
    uint32_t latches;       /* VDIO_INPUT_ROSE | VDIO_INPUT_FELL */
    uint64_t rising;        /* rising edges counted since cleared */
    uint64_t falling;       /* falling edges counted since cleared */
    uint64_t on_time_ms;    /* time at level 1 since cleared, in milliseconds */
    uint32_t frequency_mhz; /* rising edges in the service's frequency window, minus one,
                               over the time from the first to the last of them, in
                               millihertz; 0 with fewer than two edges in the window */
    uint32_t debounce_us;   /* the input's debounce in the service, in microseconds */
};

/* The figures of input line (VDIO_DI0..VDIO_DI7) into *stats. -EINVAL for a
 * NULL argument, a size other than sizeof(struct vdio_input_stats) or a line
 * that is not an input. */
VDIO_API int vdio_read_input_stats(vdio_board *board, int line, struct vdio_input_stats *stats);

/* The figures of all eight inputs, stats[n] for DIn, from one moment of the
 * sampler (so that figures of several inputs can be compared). Each
 * stats[n].size is set by the caller as for vdio_read_input_stats. */
VDIO_API int vdio_read_all_input_stats(vdio_board *board,
                                       struct vdio_input_stats stats[VDIO_INPUT_COUNT]);

/* vdio_clear_input_stats's what. */
#define VDIO_CLEAR_COUNTS 1u  /* the rising and falling counts */
#define VDIO_CLEAR_LATCHES 2u /* both latches */
#define VDIO_CLEAR_ON_TIME 4u /* the on-time */

/* Sets to zero what (VDIO_CLEAR_*, at least one) of input line's figures,
 * for every client. Any handle may clear, claims or not: clearing drives no
 * line. -EINVAL for a line that is not an input, no flag or an unknown one. */
VDIO_API int vdio_clear_input_stats(vdio_board *board, int line, uint32_t what);

/* vdio_sampler_info's flags. */
#define VDIO_SAMPLER_REALTIME 1u /* the sampler runs with SCHED_FIFO (dio-boardd --realtime) */

struct vdio_sampler_info {
    uint32_t size;                /* sizeof(struct vdio_sampler_info), set by the caller */
    uint32_t flags;               /* VDIO_SAMPLER_* */
    uint64_t interval_ns;         /* the service's sampling interval */
    uint64_t samples;             /* samples taken since the service started */
    uint64_t late_samples;        /* samples taken an interval or more after they were due:
                                     an input's pulse shorter than that could be missed */
    uint64_t worst_late_ns;       /* the worst of them, how late it was */
    uint32_t frequency_window_ms; /* the window of frequencies */
    uint32_t reserved;            /* 0 */
};

/* How the service's sampler is doing, into *info. -EINVAL for a NULL
 * argument or a size other than sizeof(struct vdio_sampler_info). */
VDIO_API int vdio_get_sampler_info(vdio_board *board, struct vdio_sampler_info *info);

/* ---- Version ------------------------------------------------------------ */

/* The product's version, "MAJOR.MINOR.PATCH", of the library the program
 * runs with (VDIO_VERSION_STRING is that of the header it was built with). */
VDIO_API const char *vdio_version(void);

#ifdef __cplusplus
}
#endif

#endif /* VARNIK_DIO_BOARD_H */
