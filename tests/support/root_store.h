#pragma once
// The Root certificate store of the Windows machine (under Wine: of the prefix), so tests can
// make a test CA trusted by WinHTTP.
#include <windows.h>
#include <wincrypt.h>

#include <string>

// Adds a DER-encoded certificate to the Root store and commits the store, so WinHTTP, also in
// processes started later, trusts certificates that chain to it. Adding it again is harmless.
// location: CERT_SYSTEM_STORE_LOCAL_MACHINE or CERT_SYSTEM_STORE_CURRENT_USER.
bool TrustRootCertificate(const std::string& der,
                          DWORD location = CERT_SYSTEM_STORE_LOCAL_MACHINE);

// Removes that certificate from the Root store again; true when it is no longer there.
bool DistrustRootCertificate(const std::string& der,
                             DWORD location = CERT_SYSTEM_STORE_LOCAL_MACHINE);
