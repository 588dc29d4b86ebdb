#pragma once
// The manifest's "mirrors": base URLs under which every archive is also found by its file name
// ("mirrors": ["https://cdn2.example/r/", ...]). Under a key it is signed with the rest.
#include <string>
#include <vector>

// The entries in order, each ending in "/". An entry that is not an http or https URL with a
// host, or holds a space, control character, backslash or non-ASCII character, is left out.
// Read like download_urls: the first "mirrors" member, not a JSON parser.
std::vector<std::wstring> ParseMirrors(const std::string& body);

// Where a mirror holds the file that archiveUrl names: mirror + the last path segment of
// archiveUrl (without query or fragment). Empty when that segment is empty or is the host.
std::wstring MirrorUrl(const std::wstring& mirror, const std::wstring& archiveUrl);
