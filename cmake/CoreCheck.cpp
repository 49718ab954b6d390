// A program that links every object of the core and nothing else: if a
// file of the core called OpenSSL, SQLite or libxml2, this would not link.
// Its platform is the unimplemented table (every entry fails with
// ERROR_CALL_NOT_IMPLEMENTED); it is built, never run for its result.
#include "base/Platform.h"

const Platform& DefaultPlatform() { return UnimplementedPlatform(); }

int main() { return PlatformNullEntry(Plat()) != nullptr; }
