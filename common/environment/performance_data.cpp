#include "common/environment/performance_data.h"
