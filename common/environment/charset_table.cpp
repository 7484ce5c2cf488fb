#include "common/environment/charset_table.h"
