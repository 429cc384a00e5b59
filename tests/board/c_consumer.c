/* A C99 program using both libraries' headers as a C user would: it must
 * compile with -std=c99 -pedantic and work on the board given as argv[1].
 * Exit status 0 when every call did what its header says. */
#include <errno.h>
#include <stdio.h>

#include "varnik_dio.h"
#include "varnik_dio_board.h"
#include "varnik_dio_sim.h"

int main(int argc, char **argv) {
    vdio_board *board = NULL;
    struct vdio_state state;
    struct vdio_line_info info;
    uint16_t outputs = 0;
    int result;

    /* The driver's part opens "/dev/mem": only ever the simulated board's. */
    if (!varnik_sim_interposing()) {
        fprintf(stderr, "%s: the simulated board is not preloaded; refusing to run\n", argv[0]);
        return 2;
    }
    if (argc != 2) {
        fprintf(stderr, "usage: %s BOARD_FILE\n", argv[0]);
        return 2;
    }
    result = vdio_open(argv[1], &board);
    if (result != 0) {
        fprintf(stderr, "vdio_open %s: error %d\n", argv[1], -result);
        return 1;
    }
    if (vdio_write_outputs(board, 0xFF, 0x00) != 0) return 10;
    if (vdio_set(board, vdio_line_from_name("do2"), 1) != 0) return 10;
    if (vdio_get_line_info(VDIO_DO2, &info) != 0 || info.address != 0xFDAE04F8u) return 11;
    if (vdio_read(board, &state) != 0 || state.outputs != 0x04) return 12;
    if (vdio_set(board, VDIO_DI0, 1) != -EINVAL) return 13;
    if (vdio_device_kind(board) != VDIO_DEVICE_BOARD_FILE) return 15;
    vdio_close(board);
    /* The driver reaches the same board through the preloaded simulated
     * board, which the test points at argv[1]. */
    if (GPO_Read(&outputs) != 0 || outputs != 0x04) return 14;
    printf("%s ok\n", vdio_version());
    return 0;
}
