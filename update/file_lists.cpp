#include "update/file_lists.h"

#include <windows.h>

#include <set>

#include "base/app_directory.h"
#include "base/hex.h"
#include "base/sha256.h"
#include "base/text.h"
#include "install/commit.h"
#include "install/extract_zip.h"
#include "net/http_client.h"
#include "update/attempt.h"
#include "update/local_files.h"
#include "update/manifest.h"

ListFetch FetchFileList(const std::wstring& archiveUrl, const std::wstring* signedDigest,
                        std::string& text, FileList& list) {
    if (!Attempt([&] { return HttpGetToMemory(FileListUrl(archiveUrl), text); }))
        return ListFetch::Failed;
    std::string digest, error;
    if (signedDigest && (!Sha256OfBytes(text, digest) ||
                         Utf8ToWide(HexText(digest)) != *signedDigest))
        return ListFetch::Tampered;
    return Attempt([&] { return ParseFileList(text, list, error); }) ? ListFetch::Fetched
                                                                      : ListFetch::Tampered;
}

bool ReadKeptList(FileList& list) {
    std::string text, error;
    return ReadFileToString(AppPath(KeptListName()), text) && ParseFileList(text, list, error);
}

std::vector<std::wstring> DroppedFiles(const FileList& installed, const FileList& next) {
    std::set<std::wstring> kept;
    for (const ListedFile& file : next) kept.insert(UpperPath(file.path));
    std::vector<std::wstring> dropped;
    for (const ListedFile& file : installed)
        if (!file.user && !kept.count(UpperPath(file.path))) dropped.push_back(file.path);
    return dropped;
}

void RemoveEmptyFolders(const std::vector<std::wstring>& removed) {
    std::set<std::wstring, std::greater<std::wstring>> folders;
    for (const std::wstring& path : removed)
        for (size_t slash = path.rfind(L'\\'); slash != std::wstring::npos && slash > 0;
             slash = path.rfind(L'\\', slash - 1))
            folders.insert(path.substr(0, slash));
    // Longer paths sort after their parents, so in reverse order children go first.
    for (const std::wstring& folder : folders) RemoveDirectoryW(AppPath(folder).c_str());
}
