// The types the library shares with its host: times, file records, the data
// and message callbacks, the disconnect notice number. The public header
// declares them, since a host includes that header alone; code below the
// export layer takes them from here, and reads nothing else of it.
#pragma once

#include "api/exports.h"
