#pragma once
// A signed manifest's "expires" member: from that moment on, launchers with a key refuse the
// manifest, so a server replaying an old one cannot hold them on an old release for ever.
// Written "YYYY-MM-DDTHH:MM:SSZ"; moments are FILETIME counts (100 ns since 1601, UTC).
#include <cstdint>
#include <string>

// This machine's clock.
uint64_t CurrentUtcTime();

// The moment as "YYYY-MM-DDTHH:MM:SSZ", fractions of a second dropped.
std::string UtcTimeText(uint64_t moment);

// The moment of the body's "expires" member, or 0 when it has none. False when the member is
// there but is not a valid time written as above.
bool ReadManifestExpiry(const std::string& body, uint64_t& expires);

// True when the body's "expires" has come by now, or cannot be read.
bool ManifestHasExpired(const std::string& body, uint64_t now);
