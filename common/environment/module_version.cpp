#include "common/environment/module_version.h"
