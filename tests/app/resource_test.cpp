// The resources linked into the launcher executables: icon group 101 (one 256 x 256 32-bit
// bitmap image, not PNG) and manifest 1 with every required value; and that the product holds
// its own manifest URL and no test URL.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/text.h"
#include "tests/support/temp_dir.h"

namespace {

#pragma pack(push, 2)
struct IconGroupEntry {
    BYTE width, height, colorCount, reserved;
    WORD planes, bitCount;
    DWORD bytesInRes;
    WORD id;
};
struct IconGroupHeader {
    WORD reserved, type, count;
    IconGroupEntry entries[1];
};
#pragma pack(pop)

std::wstring BinDirectory() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory = path;
    return directory.substr(0, directory.find_last_of(L'\\'));
}

std::vector<std::wstring> Launchers() {
    std::vector<std::wstring> names = {L"hopwell-window.exe"};
    if (FileExists(BinDirectory() + L"\\Hopwell.exe")) names.push_back(L"Hopwell.exe");
    return names;
}

// A launcher loaded as an image of resources only.
class LoadedLauncher {
public:
    explicit LoadedLauncher(const std::wstring& name)
        : module_(LoadLibraryExW((BinDirectory() + L"\\" + name).c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
    ~LoadedLauncher() {
        if (module_) FreeLibrary(module_);
    }
    HMODULE get() const { return module_; }

    std::string Resource(const wchar_t* type, int id) const {
        HRSRC found = FindResourceW(module_, MAKEINTRESOURCEW(id), type);
        if (!found) return std::string();
        const char* data = static_cast<const char*>(LockResource(LoadResource(module_, found)));
        return std::string(data, SizeofResource(module_, found));
    }

private:
    HMODULE module_;
};

TEST(LauncherResources, IconGroupHoldsOne256PixelBitmap) {
    for (const std::wstring& name : Launchers()) {
        SCOPED_TRACE(WideToUtf8(name));
        LoadedLauncher launcher(name);
        ASSERT_NE(launcher.get(), nullptr);
        const std::string group = launcher.Resource(RT_GROUP_ICON, 101);
        ASSERT_GE(group.size(), sizeof(IconGroupHeader));
        const auto* header = reinterpret_cast<const IconGroupHeader*>(group.data());
        EXPECT_EQ(header->type, 1);
        ASSERT_EQ(header->count, 1);
        const IconGroupEntry& entry = header->entries[0];
        EXPECT_EQ(entry.width, 0);  // 0 means 256
        EXPECT_EQ(entry.height, 0);
        EXPECT_EQ(entry.bitCount, 32);

        const std::string image = launcher.Resource(RT_ICON, entry.id);
        ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
        EXPECT_NE(image.compare(0, 4, "\x89PNG"), 0);
        const auto* info = reinterpret_cast<const BITMAPINFOHEADER*>(image.data());
        EXPECT_EQ(info->biSize, sizeof(BITMAPINFOHEADER));
        EXPECT_EQ(info->biWidth, 256);
        EXPECT_EQ(info->biHeight, 512);  // colour image and mask
        EXPECT_EQ(info->biBitCount, 32);
        EXPECT_EQ(info->biCompression, static_cast<DWORD>(BI_RGB));
        // The bitmap holds colour and alpha for 256 x 256 pixels and a 1-bit mask.
        EXPECT_EQ(image.size(), sizeof(BITMAPINFOHEADER) + 256 * 256 * 4 + 256 * 32);

        for (int size : {64, 32}) {
            HICON icon = static_cast<HICON>(LoadImageW(launcher.get(), MAKEINTRESOURCEW(101),
                                                       IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
            ASSERT_NE(icon, nullptr) << size;
            ICONINFO iconInfo{};
            ASSERT_TRUE(GetIconInfo(icon, &iconInfo));
            BITMAP bitmap{};
            GetObjectW(iconInfo.hbmColor, sizeof(bitmap), &bitmap);
            EXPECT_EQ(bitmap.bmWidth, size);
            DeleteObject(iconInfo.hbmColor);
            DeleteObject(iconInfo.hbmMask);
            DestroyIcon(icon);
        }
    }
}

TEST(LauncherResources, ManifestDeclaresEveryValue) {
    const char* required[] = {
        "name=\"Hopwell\" version=\"1.0.0.0\" processorArchitecture=\"*\" type=\"win32\"",
        "<description>Hopwell</description>",
        "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
        "publicKeyToken=\"6595b64144ccf1df\" language=\"*\"",
        "level=\"asInvoker\" uiAccess=\"false\"",
        ">true/pm</dpiAware>",
        ">PerMonitorV2, PerMonitor</dpiAwareness>",
    };
    for (const std::wstring& name : Launchers()) {
        SCOPED_TRACE(WideToUtf8(name));
        LoadedLauncher launcher(name);
        ASSERT_NE(launcher.get(), nullptr);
        std::string manifest = launcher.Resource(RT_MANIFEST, 1);
        ASSERT_FALSE(manifest.empty());
        // One line per element, whatever the file's line breaks.
        for (char& c : manifest) {
            if (c == '\r' || c == '\n') c = ' ';
        }
        std::string collapsed;
        for (char c : manifest) {
            if (c != ' ' || collapsed.empty() || collapsed.back() != ' ') collapsed += c;
        }
        for (const char* value : required) {
            EXPECT_NE(collapsed.find(value), std::string::npos) << value;
        }
        // The common-controls dependency's processor architecture too.
        const size_t dependency = collapsed.find("Microsoft.Windows.Common-Controls");
        EXPECT_NE(collapsed.find("processorArchitecture=\"*\"", dependency), std::string::npos);
    }
}

TEST(LauncherResources, LaunchersAreWindowsGuiPrograms) {
    for (const std::wstring& name : Launchers()) {
        SCOPED_TRACE(WideToUtf8(name));
        const std::string image = ReadBytes(BinDirectory() + L"\\" + name);
        ASSERT_GT(image.size(), 0x200u);
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image.data() + dos->e_lfanew);
        EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    }
}

#ifdef HOPWELL_PRODUCT_MANIFEST_URL
std::string Utf16Bytes(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

TEST(LauncherResources, ProductHoldsItsOwnManifestUrlOnly) {
    const std::string image = ReadBytes(BinDirectory() + L"\\Hopwell.exe");
    ASSERT_FALSE(image.empty());
    EXPECT_NE(image.find(Utf16Bytes(HOPWELL_PRODUCT_MANIFEST_URL)), std::string::npos);
    for (const wchar_t* test : {L"localhost", L"127.0.0.1", L"[::1]"}) {
        EXPECT_EQ(image.find(Utf16Bytes(test)), std::string::npos) << WideToUtf8(test);
    }
}
#endif

}  // namespace
