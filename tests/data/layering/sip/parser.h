#pragma once
#include "platform/clock.h"
