// hopwell-trust-ca CA.der: adds a CA certificate to the prefix's (machine's) Root store, so
// WinHTTP trusts servers whose certificates chain to it. For test and demo prefixes only.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>

#include "update/local_files.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fputs("usage: hopwell-trust-ca CA.der\n", stderr);
        return 2;
    }
    std::string der;
    if (!ReadFileToString(argv[1], der) || der.empty()) {
        std::fputs("hopwell-trust-ca: cannot read the certificate\n", stderr);
        return 1;
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (!store) {
        std::fprintf(stderr, "hopwell-trust-ca: cannot open the Root store (%lu)\n", GetLastError());
        return 1;
    }
    BOOL added = CertAddEncodedCertificateToStore(
        store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
        static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    DWORD error = GetLastError();
    // Wine writes store changes to the registry only on commit.
    BOOL committed = added && CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    CertCloseStore(store, 0);
    if (!added || !committed) {
        std::fprintf(stderr, "hopwell-trust-ca: cannot add the certificate (%lu)\n", error);
        return 1;
    }
    return 0;
}
