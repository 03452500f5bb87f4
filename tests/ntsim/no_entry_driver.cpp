// no_entry: a shared object that is not a driver module (no DriverEntry).
extern "C" __attribute__((visibility("default"))) int NotAnEntryPoint(void) { return 0; }
