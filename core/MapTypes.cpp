#include "core/MapTypes.h"
