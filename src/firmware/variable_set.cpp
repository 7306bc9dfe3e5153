#include "firmware/variable_set.h"
