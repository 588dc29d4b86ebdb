#pragma once
// The publisher's ECDSA P-256 key. The private key file that keygen writes is one line:
//   "hopwell-ecdsa-p256-private-key " + 192 hex digits (X, Y, then d; 32 bytes each) + LF.
// Its public half is the key text of update/signature.h: X and Y as 128 hex digits.
#include <string>

// A fresh key pair, as the private key file's text.
bool MakePrivateKeyText(std::string& keyText);

// The 96 key bytes (X, Y, d) of a private key file's text; false when it is not one.
bool ParsePrivateKeyText(const std::string& text, std::string& key);

// The public key text of a parsed private key.
std::string PublicKeyText(const std::string& key);

// The signature text (update/signature.h) of data's SHA-256, made with a parsed private key.
bool SignData(const std::string& key, const std::string& data, std::string& signatureText);
