#include "../sip/parser.h"
