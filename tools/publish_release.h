#pragma once
// What hopwell-publish does. Each returns false with the reason in error (one line, UTF-8)
// having written nothing, or true with the lines to print in report.
#include <cstdint>
#include <string>
#include <vector>

#include "update/manifest_expiry.h"

// Makes a key pair and writes its private key to keyPath, which must not exist yet.
// report: the public key text, alone.
bool CreateKeyFile(const std::wstring& keyPath, std::vector<std::string>& report,
                   std::string& error);

// Writes folder\version.json and folder\version.json.sig for the VERSION.zip archives in
// folder, each listed at baseUrl + "/" + its file name with its SHA-256, and latest as the
// latest version. The folder may hold nothing else but an earlier version.json and its .sig.
// Every archive must be one every launcher unpacks (entry names included). With
// expiresInDays, the manifest expires that many days after now (a UTC FILETIME count).
// What was written is read back, verified with the key's public half and parsed as the
// launcher parses it before both take the place of the earlier files together: on any
// failure the earlier version.json and version.json.sig stay as they were. mirrors: https
// base URLs serving the same files, signed as the manifest's "mirrors".
bool PublishFolder(const std::wstring& keyPath, const std::wstring& folder,
                   const std::wstring& baseUrl, const std::wstring& latest,
                   std::vector<std::string>& report, std::string& error,
                   const std::wstring& expiresInDays = std::wstring(),
                   uint64_t now = CurrentUtcTime(),
                   const std::vector<std::wstring>& mirrors = {});

// Checks a published folder against a public key text: the signature, the manifest, that it
// has not expired by now, and that every listed archive is in the folder, matches its digest
// and is one every launcher unpacks.
bool VerifyFolder(const std::wstring& folder, const std::string& publicKeyText,
                  std::vector<std::string>& report, std::string& error,
                  uint64_t now = CurrentUtcTime());

// Digits and dots, beginning and ending with a digit, no two dots together: "1.10.0".
bool IsVersionText(const std::wstring& text);

// What every launcher makes of the archive at path: one our reader opens, every record of
// whose central directory it reads, and whose entry names it unpacks. Otherwise error says
// why, naming the archive as fileName.
bool CheckArchive(const std::wstring& path, const std::wstring& fileName, std::string& error);
