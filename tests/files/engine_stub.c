/* A stand-in for the engine library: it only exports the symbol the runtime looks for. */
__attribute__((visibility("default"))) int vant_init(void) { return 0; }
