#pragma once
#include "sip/parser.h"
