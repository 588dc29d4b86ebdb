#include "tests/support/root_store.h"

#include <cstdio>

#include "base/scoped_handle.h"

namespace {

struct CertStoreTraits {
    static HCERTSTORE Invalid() { return nullptr; }
    static bool IsValid(HCERTSTORE h) { return h != nullptr; }
    static void Close(HCERTSTORE h) { CertCloseStore(h, 0); }
};
struct CertContextTraits {
    static PCCERT_CONTEXT Invalid() { return nullptr; }
    static bool IsValid(PCCERT_CONTEXT h) { return h != nullptr; }
    static void Close(PCCERT_CONTEXT h) { CertFreeCertificateContext(h); }
};

using ScopedCertStore = Scoped<HCERTSTORE, CertStoreTraits>;
using ScopedCertContext = Scoped<PCCERT_CONTEXT, CertContextTraits>;

ScopedCertStore OpenRoot(DWORD location) {
    return ScopedCertStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, location, L"Root"));
}

}  // namespace

bool TrustRootCertificate(const std::string& der, DWORD location) {
    ScopedCertStore root = OpenRoot(location);
    if (!root) return false;
    if (!CertAddEncodedCertificateToStore(root.get(), X509_ASN_ENCODING,
                                          reinterpret_cast<const BYTE*>(der.data()),
                                          static_cast<DWORD>(der.size()),
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
        std::fprintf(stderr, "adding the test CA failed (error %lu)\n", GetLastError());
        return false;
    }
    // Wine writes the store back to the prefix's registry only on commit.
    return CertControlStore(root.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr) != 0;
}

bool DistrustRootCertificate(const std::string& der, DWORD location) {
    ScopedCertContext wanted(CertCreateCertificateContext(
        X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
        static_cast<DWORD>(der.size())));
    if (!wanted) return false;
    ScopedCertStore root = OpenRoot(location);
    if (!root) return false;
    PCCERT_CONTEXT found = CertFindCertificateInStore(
        root.get(), X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted.get(), nullptr);
    if (found && !CertDeleteCertificateFromStore(found)) return false;  // frees found
    return CertControlStore(root.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr) != 0;
}
