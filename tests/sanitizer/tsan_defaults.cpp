// Built into every program and library of a ThreadSanitizer build (PARAVELLE_SANITIZE=thread),
// so ctest, a run by hand and the nodes and workers the tests start see the same settings.
//
// OpenImageIO and OpenEXR are not built with the sanitizer: their thread pools synchronise
// in ways it cannot see, and OpenEXR takes more nested locks at start-up than the deadlock
// detector can track. What happens inside them is left to them.

extern "C" const char* __tsan_default_options() { return "detect_deadlocks=0"; }

extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libOpenImageIO_Util.so\n"
         "called_from_lib:libOpenImageIO.so\n"
         "race:libOpenImageIO_Util.so\n"
         "race:libOpenImageIO.so\n";
}
