// hopwell-publish: signed releases in one command.
//   hopwell-publish keygen KEY_FILE
//       makes a key pair, writes the private key to KEY_FILE (never over an existing file) and
//       prints the public key text for HOPWELL_PUBLIC_KEY.
//   hopwell-publish publish KEY_FILE FOLDER BASE_URL LATEST_VERSION [--expires-in DAYS]
//                   [--mirror URL]...
//       writes FOLDER\version.json and version.json.sig for the VERSION.zip files in FOLDER,
//       which are to be served at BASE_URL/VERSION.zip (and at each mirror's URL/VERSION.zip);
//       launchers with the key refuse the manifest DAYS days from now.
//   hopwell-publish pack BUILD_DIR VERSION FOLDER [--full] [--user-file GLOB]...
//       writes FOLDER\VERSION.zip with the files of BUILD_DIR new or changed since the newest
//       earlier list in FOLDER (all with --full), and FOLDER\VERSION.files listing them all;
//       files matching a GLOB are user files.
//   hopwell-publish verify FOLDER PUBLIC_KEY
//       checks a published folder against the public key text.
// Exit code 0 on success, 1 when refused (the reason on stderr, nothing written), 2 on bad use.
#include <windows.h>

#include <string>
#include <vector>

#include "base/text.h"
#include "tools/pack_release.h"
#include "tools/publish_release.h"

namespace {

void Print(DWORD stream, const std::string& line) {
    const std::string bytes = line + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(stream), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
              nullptr);
}

struct Options {
    std::wstring expiresIn;
    std::vector<std::wstring> mirrors;
};

// What follows publish's four arguments: --expires-in DAYS at most once, --mirror URL any
// number of times. False on anything else.
bool PublishOptions(int argc, wchar_t** argv, Options& options) {
    bool expiry = false;
    for (int i = 6; i < argc; i += 2) {
        const std::wstring name = argv[i];
        if (i + 1 >= argc) return false;
        if (name == L"--expires-in" && !expiry) {
            expiry = true;
            options.expiresIn = argv[i + 1];
        } else if (name == L"--mirror") {
            options.mirrors.push_back(argv[i + 1]);
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    std::vector<std::string> report;
    std::string error;
    bool done = false;
    Options options;
    if (command == L"keygen" && argc == 3) {
        done = CreateKeyFile(argv[2], report, error);
    } else if (command == L"publish" && argc >= 6 && PublishOptions(argc, argv, options)) {
        done = PublishFolder(argv[2], argv[3], argv[4], argv[5], report, error, options.expiresIn,
                             CurrentUtcTime(), options.mirrors);
    } else if (command == L"pack" && argc >= 5) {
        bool full = false, usage = false;
        std::vector<std::wstring> userGlobs;
        for (int i = 5; i < argc; ++i) {
            const std::wstring option = argv[i];
            if (option == L"--full") full = true;
            else if (option == L"--user-file" && i + 1 < argc) userGlobs.push_back(argv[++i]);
            else usage = true;
        }
        if (!usage) done = PackRelease(argv[2], argv[3], argv[4], full, userGlobs, report, error);
    } else if (command == L"verify" && argc == 4) {
        done = VerifyFolder(argv[2], WideToUtf8(argv[3]), report, error);
    }
    if (!done && error.empty()) {
        Print(STD_ERROR_HANDLE,
              "usage: hopwell-publish keygen KEY_FILE\n"
              "       hopwell-publish publish KEY_FILE FOLDER BASE_URL LATEST_VERSION"
              " [--expires-in DAYS] [--mirror URL]...\n"
              "       hopwell-publish pack BUILD_DIR VERSION FOLDER [--full]"
              " [--user-file GLOB]...\n"
              "       hopwell-publish verify FOLDER PUBLIC_KEY");
        return 2;
    }
    if (!done) {
        Print(STD_ERROR_HANDLE, "hopwell-publish: " + error);
        return 1;
    }
    for (const std::string& line : report) Print(STD_OUTPUT_HANDLE, line);
    return 0;
}
