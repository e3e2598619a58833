#include "task/Unitclasstask.h"
