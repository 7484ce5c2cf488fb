#include "common/environment/report_environment.h"
