#include "firmware/firmware_file.h"
