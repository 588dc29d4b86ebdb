// hopwell-trust-ca [--remove] CERT.der: adds a CA certificate to the Root store of the Wine
// prefix it runs in (or removes it), so WinHTTP trusts servers whose certificates chain to it.
#include <cstdio>
#include <cwchar>

#include "tests/support/root_store.h"
#include "update/local_files.h"

int wmain(int argc, wchar_t** argv) {
    const bool remove = argc == 3 && std::wcscmp(argv[1], L"--remove") == 0;
    if (argc != 2 && !remove) {
        std::fputs("usage: hopwell-trust-ca [--remove] CERT.der\n", stderr);
        return 2;
    }
    std::string der;
    if (!ReadFileToString(argv[argc - 1], der) || der.empty()) {
        std::fputs("hopwell-trust-ca: cannot read the certificate\n", stderr);
        return 1;
    }
    return (remove ? DistrustRootCertificate(der) : TrustRootCertificate(der)) ? 0 : 1;
}
