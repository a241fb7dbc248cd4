#include "config-parser/config.h"
