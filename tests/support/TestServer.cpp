#include "tests/support/TestServer.h"
