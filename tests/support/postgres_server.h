// For the tests that include it by this name: the servers are in servers.h.
#include "servers.h"
