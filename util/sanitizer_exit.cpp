// Sanitizer builds only: a finding ends the program with a status of its own (86 from ASan and
// LeakSanitizer, 87 from UBSan), never the status 1 that a test expects of a refused input, so
// no test can pass over one.
extern "C" const char* __asan_default_options() { return "exitcode=86"; }
extern "C" const char* __ubsan_default_options() { return "exitcode=87:print_stacktrace=1"; }
