/* A library with code and embedded resources for the module tests. Its constructor leaves a
   mark in the environment, so a test can tell whether the library's code ever ran. */
#include <stdlib.h>

#define EXPORT __attribute__((visibility("default")))

__attribute__((constructor)) static void mark_loaded(void) { setenv("BF_TEST_RESMOD_CONSTRUCTED", "1", 1); }

EXPORT int bf_test_resmod_answer(void) { return 42; }

/* An address inside this library, for finding the library from an address. */
EXPORT const void* bf_test_resmod_address(void) { return (const void*)&bf_test_resmod_answer; }
