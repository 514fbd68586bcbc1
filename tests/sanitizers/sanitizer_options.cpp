// Default options of the sanitizer runtimes, built into every program of a sanitizer build so that
// tests, the program and the fuzz targets behave alike however they are started. Options given in
// LSAN_OPTIONS or UBSAN_OPTIONS still take precedence.
#ifndef TAMRIK_LSAN_SUPPRESSIONS
#error "TAMRIK_LSAN_SUPPRESSIONS must name the leak suppressions file"
#endif

extern "C" {

// The runtimes look these up by name; they are declared weak there.
const char* __lsan_default_options();
const char* __ubsan_default_options();

const char* __lsan_default_options() { return "suppressions=" TAMRIK_LSAN_SUPPRESSIONS ":print_suppressions=0"; }

const char* __ubsan_default_options() { return "print_stacktrace=1"; }

}  // extern "C"
