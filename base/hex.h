#pragma once
// Bytes as lower-case hexadecimal text, the form keys, signatures and digests travel in.
#include <cstddef>
#include <string>

std::string HexText(const std::string& bytes);

// Exactly byteCount bytes from 2 x byteCount hex digits (either case), nothing else around
// them. False (bytes untouched) otherwise.
bool ParseHex(const std::string& text, size_t byteCount, std::string& bytes);
