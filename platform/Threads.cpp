#include "platform/Threads.h"
