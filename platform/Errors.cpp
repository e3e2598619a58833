#include "platform/Errors.h"
