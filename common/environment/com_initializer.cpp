#include "common/environment/com_initializer.h"
