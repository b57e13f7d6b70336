// The product token: the User-Agent value and the caption of every message
// box the library shows. The version comes from the build's generated header.
#pragma once

#include "quodra_version.h"

#define QUODRA_PRODUCT "Quodra/" QUODRA_VERSION
