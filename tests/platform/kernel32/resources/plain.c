/* A library with no resource section. */
__attribute__((visibility("default"))) int bf_test_plain_value(void) { return 7; }
