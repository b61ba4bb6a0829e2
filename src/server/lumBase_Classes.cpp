// The component roots are header-only; this unit keeps their vtables in one place.
#include "server/lumBase_Classes.h"
