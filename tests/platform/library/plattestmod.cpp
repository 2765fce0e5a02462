extern "C" __attribute__((visibility("default"))) int PlatTestAdd(int a, int b) { return a + b; }
