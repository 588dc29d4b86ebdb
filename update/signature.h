#pragma once
// ECDSA P-256 signatures over SHA-256 digests, in the text forms the publishing tool writes:
//   public key: 128 hex digits, the point's X then Y (32 bytes each, big-endian);
//   signature:  128 hex digits, r then s (32 bytes each), then at most a line end.
#include <string>

// The 64-byte point of a public key text; false when the text is not one.
bool ParsePublicKeyText(const std::string& text, std::string& point);

// The 64-byte r and s of a signature text; false when the text is not one.
bool ParseSignatureText(const std::string& text, std::string& signature);

// True when signatureText signs the SHA-256 of data's exact bytes with publicKeyText's key.
// Any malformed text is simply no valid signature.
bool VerifySignature(const std::string& data, const std::string& signatureText,
                     const std::string& publicKeyText);
