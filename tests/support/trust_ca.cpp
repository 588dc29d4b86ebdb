// hopwell-trust-ca CERT.der: adds a CA certificate to the Root store of the Wine prefix it runs
// in, so WinHTTP, in programs started afterwards, trusts servers whose certificates chain to it.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>

#include "update/local_files.h"

namespace {
bool Trust(const std::string& der) {
    HCERTSTORE root =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    // Wine writes the store back to the prefix's registry only on commit.
    const bool added = root &&
                       CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING,
                                                        reinterpret_cast<const BYTE*>(der.data()),
                                                        static_cast<DWORD>(der.size()),
                                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr) &&
                       CertControlStore(root, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    if (root) CertCloseStore(root, 0);
    return added;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::string der;
    if (argc != 2 || !ReadFileToString(argv[1], der) || der.empty()) {
        std::fputs("usage: hopwell-trust-ca CERT.der\n", stderr);
        return 2;
    }
    // Once, in a fresh prefix with other programs starting beside it, Wine refused the
    // certificate; a moment later it took it.
    for (int attempt = 0; attempt < 5; attempt++, Sleep(500)) {
        if (Trust(der)) return 0;
        std::fprintf(stderr, "hopwell-trust-ca: adding the CA failed (error %lu), trying again\n",
                     GetLastError());
    }
    return 1;
}
