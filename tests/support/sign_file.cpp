// hopwell-sign-file KEY_FILE FILE: writes FILE.sig, the signature of FILE's bytes by the key
// in KEY_FILE, whatever FILE holds: the end-to-end suite signs manifests that the publishing
// tool would never write. Exit code 0 when written, 1 otherwise.
#include <windows.h>

#include <string>

#include "base/scoped_handle.h"
#include "tools/signing_key.h"
#include "update/local_files.h"

int wmain(int argc, wchar_t** argv) {
    std::string keyText, key, bytes, signature;
    if (argc != 3 || !ReadFileToString(argv[1], keyText) ||
        !ParsePrivateKeyText(keyText, key) || !ReadFileToString(argv[2], bytes) ||
        !SignData(key, bytes, signature))
        return 1;
    const std::wstring path = std::wstring(argv[2]) + L".sig";
    ScopedFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), signature.data(), static_cast<DWORD>(signature.size()),
                             &written, nullptr) &&
                   written == signature.size()
               ? 0
               : 1;
}
