/*
 * kestrelnet: the public C header under the name it was first installed as.
 * Hosts that include "exports.h" keep working; new hosts include
 * <kestrelnet/kestrelnet.h>, which this file includes from beside it.
 */
#include "kestrelnet.h"
