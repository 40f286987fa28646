// The library's version, readable in the file itself (`strings libNumwell.so | grep Numwell`); the
// file name carries it too (libNumwell.so.1.0.0.0).
extern "C" __attribute__((visibility("default"), used)) const char NumwellVersion[] = "Numwell " NUMWELL_VERSION;
