#include "net/download_record.h"

#include <windows.h>

#include <sstream>

#include "base/scoped_handle.h"
#include "base/text.h"

namespace {

constexpr char kHeader[] = "hopwell-download 1";
constexpr char kSourcesHeader[] = "hopwell-download 2";
constexpr size_t kMaxSources = 64;
constexpr DWORD kMaxRecordBytes = 65536;

}  // namespace

bool ReadDownloadRecord(const std::wstring& path, DownloadRecord& record,
                        std::vector<RecordedSource>* others) {
    ScopedFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    std::string text(kMaxRecordBytes, '\0');
    DWORD read = 0;
    if (!ReadFile(file.get(), &text[0], kMaxRecordBytes, &read, nullptr)) return false;
    text.resize(read);
    std::istringstream in(text);
    std::string header, url, validator;
    uint64_t length = 0;
    size_t count = 0;
    if (!std::getline(in, header) || (header != kHeader && header != kSourcesHeader) ||
        !std::getline(in, url) ||
        !(in >> length) || !in.ignore(1) || !std::getline(in, validator) || !(in >> count) ||
        count > 64) {
        return false;
    }
    DownloadRecord parsed{Utf8ToWide(url), length, Utf8ToWide(validator), {}};
    std::vector<RecordedSource> parsedOthers;
    for (size_t i = 0; i < count; ++i) {
        uint64_t bytes = 0;
        if (!(in >> bytes)) return false;
        parsed.partBytes.push_back(bytes);
    }
    if (header == kSourcesHeader) {
        size_t sources = 0;
        if (!(in >> sources) || !in.ignore(1) || sources == 0 || sources > kMaxSources)
            return false;
        for (size_t i = 0; i < sources; ++i) {
            std::string otherUrl, otherValidator;
            if (!std::getline(in, otherUrl) || !std::getline(in, otherValidator)) return false;
            parsedOthers.push_back({Utf8ToWide(otherUrl), Utf8ToWide(otherValidator)});
        }
    }
    record = std::move(parsed);
    if (others) *others = std::move(parsedOthers);
    return true;
}

bool WriteDownloadRecord(const std::wstring& path, const DownloadRecord& record,
                         const std::vector<RecordedSource>& others) {
    std::ostringstream out;
    out << (others.empty() ? kHeader : kSourcesHeader) << '\n'
        << WideToUtf8(record.url) << '\n'
        << record.length << '\n'
        << WideToUtf8(record.validator) << '\n'
        << record.partBytes.size();
    for (uint64_t bytes : record.partBytes) out << ' ' << bytes;
    out << '\n';
    if (!others.empty()) {
        out << others.size() << '\n';
        for (const RecordedSource& source : others)
            out << WideToUtf8(source.url) << '\n' << WideToUtf8(source.validator) << '\n';
    }
    const std::string text = out.str();
    const std::wstring fresh = path + L".new";
    {
        ScopedFile file(CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file || !WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()),
                                &written, nullptr) ||
            written != text.size()) {
            return false;
        }
    }
    return MoveFileExW(fresh.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}
