// The product token: the User-Agent value and the caption of every message
// box the library shows.
#pragma once

#define QUODRA_PRODUCT "Quodra/2.0.0"
