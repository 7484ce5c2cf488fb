#include "common/util/kov_string.h"
