#include "download/Unit3.h"
