#pragma once
// What hopwell-publish does. Each returns false with the reason in error (one line, UTF-8)
// having written nothing, or true with the lines to print in report.
#include <string>
#include <vector>

// Makes a key pair and writes its private key to keyPath, which must not exist yet.
// report: the public key text, alone.
bool CreateKeyFile(const std::wstring& keyPath, std::vector<std::string>& report,
                   std::string& error);

// Writes folder\version.json and folder\version.json.sig for the VERSION.zip archives in
// folder, each listed at baseUrl + "/" + its file name with its SHA-256, and latest as the
// latest version. The folder may hold nothing else but an earlier version.json and its .sig.
// What was written is read back, verified with the key's public half and parsed as the
// launcher parses it before it takes the place of the earlier files.
bool PublishFolder(const std::wstring& keyPath, const std::wstring& folder,
                   const std::wstring& baseUrl, const std::wstring& latest,
                   std::vector<std::string>& report, std::string& error);

// Checks a published folder against a public key text: the signature, the manifest, and that
// every listed archive is in the folder and matches its digest.
bool VerifyFolder(const std::wstring& folder, const std::string& publicKeyText,
                  std::vector<std::string>& report, std::string& error);
