#include "common/environment/os_name.h"
