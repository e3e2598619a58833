#include "platform/Formats.h"
