// A shared library without conduit entry points.
extern "C" __attribute__((visibility("default"))) int NotAConduit() { return 1; }
