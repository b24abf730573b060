// A tiny shared library that the bundle tests load as a bundle's executable.
extern "C" __attribute__((visibility("default"))) int WFSBundleTestAnswer(void) { return 42; }
