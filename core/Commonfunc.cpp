#include "core/Commonfunc.h"
