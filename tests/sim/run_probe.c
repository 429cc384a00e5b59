/* A stand-in for a program under `dio-sim run`. It prints what it was
 * given (the simulated board library that answers for it and the board's
 * variables), touches the device only when the board is in charge of it,
 * and exits with the status it is told, so a test can see all of what
 * dio-sim run passes on: the board's variables, LD_PRELOAD and the
 * arguments, each followed by "|".
 *
 *   run_probe STATUS [access]
 *
 * "access" reads the DI0 register through the device: one open, mmap,
 * munmap and close, as the driver makes them. */
#define _GNU_SOURCE 1
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

static const char *Variable(const char *name) {
  const char *value = getenv(name);
  return value != NULL ? value : "(unset)";
}

/* The file of the simulated board library the process resolves, or NULL. */
static const char *BoardLibrary(int (**interposing)(void)) {
  void *symbol = dlsym(RTLD_DEFAULT, "varnik_sim_interposing");
  Dl_info info;
  if (symbol == NULL || dladdr(symbol, &info) == 0) return NULL;
  memcpy(interposing, &symbol, sizeof symbol);
  return info.dli_fname;
}

static int ReadInputRegister(void) {
  const off_t page = (off_t)0xFDAE0000u;
  int fd = open("/dev/mem", O_RDWR | O_SYNC);
  if (fd < 0) return printf("open error=%d\n", errno), 4;
  volatile uint8_t *p = mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, page);
  if (p == MAP_FAILED) {
    const int error = errno;
    close(fd);
    printf("mmap error=%d\n", error);
    return 4;
  }
  printf("DI0 register byte 0x%02x\n", (unsigned)p[0x6A8]);
  munmap((void *)p, 4096);
  close(fd);
  return 0;
}

int main(int argc, char **argv) {
  int (*interposing)(void) = NULL;
  const char *library = BoardLibrary(&interposing);
  printf("library=%s\n", library != NULL ? library : "(none)");
  printf("board=%s\ntrace=%s\nfail=%s\npreload=%s\nargs=", Variable("VARNIK_SIM_BOARD"),
         Variable("VARNIK_SIM_TRACE"), Variable("VARNIK_SIM_FAIL"), Variable("LD_PRELOAD"));
  for (int i = 0; i < argc; ++i) printf("%s|", argv[i]);
  printf("\n");
  if (argc > 2 && strcmp(argv[2], "access") == 0) {
    /* Never the machine's real device: without the board, no access. */
    if (interposing == NULL || !interposing()) return printf("no board in charge\n"), 3;
    fflush(stdout); /* so that the trace shows nothing pending */
    if (ReadInputRegister() != 0) return 4;
  }
  return argc > 1 ? atoi(argv[1]) : 0;
}
