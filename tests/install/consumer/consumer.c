/* A C program built against an installed varnik_dio through pkg-config, as
 * a user builds one. It drives DO3 and LED2 through the board API, reads
 * them back through the driver library, and prints what it saw. It refuses
 * to run unless the simulated board is preloaded: it opens "/dev/mem". */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <varnik_dio.h>
#include <varnik_dio_board.h>

static int simulated_board_preloaded(void) {
    int (*interposing)(void) = NULL;
    void *symbol = dlsym(RTLD_DEFAULT, "varnik_sim_interposing");
    /* ISO C has no cast from an object pointer to a function pointer. */
    memcpy(&interposing, &symbol, sizeof interposing);
    return interposing != NULL && interposing();
}

int main(void) {
    vdio_board *board = NULL;
    uint16_t outputs = 0;
    int result;

    if (!simulated_board_preloaded()) {
        fprintf(stderr, "consumer: the simulated board is not preloaded; refusing to run\n");
        return 2;
    }
    result = vdio_open("/dev/mem", &board);
    if (result != 0) {
        fprintf(stderr, "consumer: vdio_open: error %d\n", -result);
        return 1;
    }
    if (vdio_set(board, vdio_line_from_name("DO3"), 1) != 0) return 3;
    if (vdio_set(board, VDIO_LED2, 1) != 0) return 3;
    vdio_close(board);
    if (GPO_Read(&outputs) != 0) return 4;
    printf("C: board API %s, outputs 0x%02x, LEDs %d\n", vdio_version(), outputs, (int)QelLEDCount());
    return 0;
}
