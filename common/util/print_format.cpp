#include "common/util/print_format.h"
