// The platform of the testca command: the unimplemented table. The
// command uses only the core's ASN.1 decoder, which calls no platform
// entry; anything else fails with ERROR_CALL_NOT_IMPLEMENTED.
#include "base/Platform.h"

const Platform& DefaultPlatform() { return UnimplementedPlatform(); }
