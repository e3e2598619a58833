#include "download/IdHTTP.h"
