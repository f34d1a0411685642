// For the tests that include it by this name: Snapshot is in test_store.h.
#include "test_store.h"
