/* A statically linked program, for `dio-sim run` to refuse: the simulated
 * board's preload cannot reach it. It does nothing, should it ever run. */
int main(void) { return 0; }
