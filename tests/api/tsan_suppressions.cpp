// ThreadSanitizer in the object-layer tests: libzmq and CZMQ are not built
// for it, so a message handed between a broker client's threads through
// libzmq's lock-free pipes shows up as a race whose ordering it cannot see.
// Only reports inside those two libraries are suppressed.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
  return "race:libzmq.so\n"
         "race:libczmq.so\n";
}
#endif
