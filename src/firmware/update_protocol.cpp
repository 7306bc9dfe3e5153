#include "firmware/update_protocol.h"
