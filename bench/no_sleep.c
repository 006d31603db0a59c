/* Preloaded into joybond by the rotation benchmark: the one-second sleep of every cycle
   returns at once, so that thousands of cycles take minutes, not hours. */
unsigned int sleep(unsigned int seconds) {
    (void)seconds;
    return 0;
}
