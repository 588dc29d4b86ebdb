// Painting into memory bitmaps: the gradient, the background picture rules, the header, and the
// owner-drawn buttons in their three states.
#include "app/paint.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "base/app_directory.h"
#include "tests/support/gui.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr COLORREF kMagenta = RGB(255, 0, 255);  // marks pixels nobody painted

// A real JPEG (8 x 8, one colour), made with ImageMagick's convert.
const unsigned char kJpeg[] = {
  0xff, 0xd8, 0xff, 0xe0, 0x00, 0x10, 0x4a, 0x46, 0x49, 0x46, 0x00, 0x01,
  0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0xff, 0xdb, 0x00, 0x43,
  0x00, 0x03, 0x02, 0x02, 0x02, 0x02, 0x02, 0x03, 0x02, 0x02, 0x02, 0x03,
  0x03, 0x03, 0x03, 0x04, 0x06, 0x04, 0x04, 0x04, 0x04, 0x04, 0x08, 0x06,
  0x06, 0x05, 0x06, 0x09, 0x08, 0x0a, 0x0a, 0x09, 0x08, 0x09, 0x09, 0x0a,
  0x0c, 0x0f, 0x0c, 0x0a, 0x0b, 0x0e, 0x0b, 0x09, 0x09, 0x0d, 0x11, 0x0d,
  0x0e, 0x0f, 0x10, 0x10, 0x11, 0x10, 0x0a, 0x0c, 0x12, 0x13, 0x12, 0x10,
  0x13, 0x0f, 0x10, 0x10, 0x10, 0xff, 0xdb, 0x00, 0x43, 0x01, 0x03, 0x03,
  0x03, 0x04, 0x03, 0x04, 0x08, 0x04, 0x04, 0x08, 0x10, 0x0b, 0x09, 0x0b,
  0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10,
  0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10,
  0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10,
  0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10,
  0x10, 0x10, 0xff, 0xc0, 0x00, 0x11, 0x08, 0x00, 0x08, 0x00, 0x08, 0x03,
  0x01, 0x11, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01, 0xff, 0xc4, 0x00,
  0x14, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 0xff, 0xc4, 0x00, 0x14, 0x10,
  0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
  0x00, 0x00, 0x00, 0x00, 0x00, 0xff, 0xc4, 0x00, 0x14, 0x01, 0x01, 0x00,
  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
  0x00, 0x00, 0x07, 0xff, 0xc4, 0x00, 0x14, 0x11, 0x01, 0x00, 0x00, 0x00,
  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
  0x00, 0xff, 0xda, 0x00, 0x0c, 0x03, 0x01, 0x00, 0x02, 0x11, 0x03, 0x11,
  0x00, 0x3f, 0x00, 0x22, 0x2d, 0x8b, 0xdf, 0xff, 0xd9
};
constexpr size_t kJpegSize = 285;

// A bottom-up 24-bit BMP file of one colour.
std::string SolidBmp(int width, int height, COLORREF color) {
    const int rowBytes = (width * 3 + 3) & ~3;
    std::string pixels;
    for (int y = 0; y < height; ++y) {
        std::string row;
        for (int x = 0; x < width; ++x) {
            row += static_cast<char>(GetBValue(color));
            row += static_cast<char>(GetGValue(color));
            row += static_cast<char>(GetRValue(color));
        }
        row.resize(rowBytes, '\0');
        pixels += row;
    }
    BITMAPFILEHEADER file{};
    BITMAPINFOHEADER info{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(info);
    file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
    info.biSize = sizeof(info);
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    info.biSizeImage = static_cast<DWORD>(pixels.size());
    return std::string(reinterpret_cast<const char*>(&file), sizeof(file)) +
           std::string(reinterpret_cast<const char*>(&info), sizeof(info)) + pixels;
}

// Each test paints with a fresh, empty current directory.
class PaintTest : public testing::Test {
protected:
    TempDir workDir;
    std::wstring previousDir;

    void SetUp() override {
        wchar_t current[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, current);
        previousDir = current;
        ASSERT_TRUE(SetCurrentDirectoryW(workDir.path().c_str()));
    }
    void TearDown() override { SetCurrentDirectoryW(previousDir.c_str()); }

    static void ExpectGradient(const Canvas& canvas) {
        const int h = canvas.height();
        for (int x : {0, canvas.width() / 2, canvas.width() - 1}) {
            EXPECT_EQ(ColorName(canvas.Pixel(x, 0)), "#1E1E1E") << "x " << x;
            EXPECT_TRUE(Near(canvas.Pixel(x, h - 1), RGB(0x2A, 0x2A, 0x2A), 1))
                << ColorName(canvas.Pixel(x, h - 1));
        }
        int previous = 0;
        for (int y = 0; y < h; ++y) {
            const COLORREF c = canvas.Pixel(canvas.width() / 3, y);
            ASSERT_TRUE(GetRValue(c) == GetGValue(c) && GetGValue(c) == GetBValue(c)) << y;
            ASSERT_GE(GetRValue(c), previous) << "row " << y;
            previous = GetRValue(c);
        }
        EXPECT_EQ(ColorName(canvas.Pixel(5, h / 2)), ColorName(canvas.Pixel(300, h / 2)));
    }
};

TEST_F(PaintTest, WithoutAPictureTheBackgroundIsTheGradient) {
    // A picture in the application directory does not count: only the current one is searched.
    WriteBytes(AppPath(L"background.jpg"), SolidBmp(10, 10, RGB(200, 0, 0)));
    Canvas canvas(534, 311, kMagenta);
    PaintBackground(canvas.dc(), RECT{0, 0, 534, 311});
    ExpectGradient(canvas);
    DeleteFileW(AppPath(L"background.jpg").c_str());
}

TEST_F(PaintTest, AJpegNamedBackgroundGivesTheGradient) {
    ASSERT_TRUE(WriteBytes(workDir.File(L"background.jpg"),
                           std::string(reinterpret_cast<const char*>(kJpeg), kJpegSize)));
    Canvas canvas(200, 120, kMagenta);
    PaintBackground(canvas.dc(), RECT{0, 0, 200, 120});
    ExpectGradient(canvas);
}

TEST_F(PaintTest, ABitmapIsFittedCentredAndDarkened) {
    // 1000 x 500 into 534 x 311: scale 0.534, drawn 534 x 267 from y = 22.
    const COLORREF picture = RGB(200, 100, 50);
    ASSERT_TRUE(WriteBytes(workDir.File(L"background.jpg"), SolidBmp(1000, 500, picture)));
    Canvas canvas(534, 311, RGB(255, 255, 255));
    PaintBackground(canvas.dc(), RECT{0, 0, 534, 311});

    // c * 175 / 255 after a constant alpha of 80 of black.
    const COLORREF darkPicture = RGB(200 * 175 / 255, 100 * 175 / 255, 50 * 175 / 255);
    const COLORREF darkBand = RGB(175, 175, 175);
    for (int x : {0, 267, 533}) {
        EXPECT_TRUE(Near(canvas.Pixel(x, 0), darkBand, 1)) << ColorName(canvas.Pixel(x, 0));
        EXPECT_TRUE(Near(canvas.Pixel(x, 21), darkBand, 1)) << ColorName(canvas.Pixel(x, 21));
        EXPECT_TRUE(Near(canvas.Pixel(x, 22), darkPicture, 1)) << ColorName(canvas.Pixel(x, 22));
        EXPECT_TRUE(Near(canvas.Pixel(x, 150), darkPicture, 1));
        EXPECT_TRUE(Near(canvas.Pixel(x, 288), darkPicture, 1)) << ColorName(canvas.Pixel(x, 288));
        EXPECT_TRUE(Near(canvas.Pixel(x, 289), darkBand, 1)) << ColorName(canvas.Pixel(x, 289));
        EXPECT_TRUE(Near(canvas.Pixel(x, 310), darkBand, 1));
    }
}

TEST_F(PaintTest, ATallBitmapLeavesBandsLeftAndRight) {
    // 100 x 400 into 300 x 200: scale 0.5, drawn 50 x 200 from x = 125.
    ASSERT_TRUE(WriteBytes(workDir.File(L"background.jpg"), SolidBmp(100, 400, RGB(0, 255, 0))));
    Canvas canvas(300, 200, RGB(0, 0, 255));
    PaintBackground(canvas.dc(), RECT{0, 0, 300, 200});
    const COLORREF darkGreen = RGB(0, 175, 0), darkBlue = RGB(0, 0, 175);
    EXPECT_TRUE(Near(canvas.Pixel(124, 100), darkBlue, 1)) << ColorName(canvas.Pixel(124, 100));
    EXPECT_TRUE(Near(canvas.Pixel(125, 100), darkGreen, 1)) << ColorName(canvas.Pixel(125, 100));
    EXPECT_TRUE(Near(canvas.Pixel(174, 0), darkGreen, 1)) << ColorName(canvas.Pixel(174, 0));
    EXPECT_TRUE(Near(canvas.Pixel(175, 199), darkBlue, 1)) << ColorName(canvas.Pixel(175, 199));
}

TEST_F(PaintTest, HeaderIsWhiteTextInItsBand) {
    Canvas canvas(534, 311, RGB(0, 0, 0));
    PaintHeader(canvas.dc(), RECT{0, 0, 534, 311});
    // Anything bright lies in the band 20..514 x 20..60; something is drawn there.
    int inside = 0, outside = 0;
    for (int y = 0; y < canvas.height(); ++y) {
        for (int x = 0; x < canvas.width(); ++x) {
            const bool bright = GetRValue(canvas.Pixel(x, y)) > 128;
            const bool inBand = x >= 20 && x < 514 && y >= 20 && y < 60;
            (inBand ? inside : outside) += bright;
        }
    }
    EXPECT_GT(inside, 50);
    EXPECT_EQ(outside, 0);
    EXPECT_GT(canvas.Count(RGB(255, 255, 255), 20, 20, 514, 60), 0);
}

TEST(ButtonColorTable, FirstKeywordInTableOrderWins) {
    const COLORREF green = RGB(0x22, 0xC5, 0x5E), blue = RGB(0x3B, 0x82, 0xF6),
                   purple = RGB(0xA8, 0x55, 0xF7);
    EXPECT_EQ(PickButtonColors(L"🚀 Start Auto").normal, green);
    EXPECT_EQ(PickButtonColors(L"🚀 Start Auto").pressed, RGB(0x16, 0xA3, 0x4A));
    EXPECT_EQ(PickButtonColors(L"Home Start").normal, green);  // "Start" is earlier in the table
    EXPECT_EQ(PickButtonColors(L"Khởi động").normal, green);
    EXPECT_EQ(PickButtonColors(L"Cập nhật ngay").normal, blue);
    EXPECT_EQ(PickButtonColors(L"Update").pressed, RGB(0x25, 0x63, 0xEB));
    EXPECT_EQ(PickButtonColors(L"🔄 Zalo Hỗ trợ").normal, blue);
    EXPECT_EQ(PickButtonColors(L"Home").normal, purple);
    EXPECT_EQ(PickButtonColors(L"Về Trang chủ").pressed, RGB(0x93, 0x33, 0xEA));
    // No keyword, a different case, or decomposed Vietnamese: the default blue.
    EXPECT_EQ(PickButtonColors(L"🏠 Telegram").normal, blue);
    EXPECT_EQ(PickButtonColors(L"").normal, blue);
    EXPECT_EQ(PickButtonColors(L"start home").normal, blue);
    EXPECT_EQ(PickButtonColors(L"Trang chu\u0309").normal, blue);
    EXPECT_EQ(ButtonFillColor(L"Home", false, true), RGB(0x64, 0x64, 0x64));
    EXPECT_EQ(ButtonFillColor(L"Home", true, true), RGB(0x93, 0x33, 0xEA));
    EXPECT_EQ(ButtonFillColor(L"Home", true, false), purple);
}

// An owner-drawn button of the laid-out size on a hidden parent.
class ButtonPaintTest : public testing::Test {
protected:
    HWND parent = nullptr;
    HWND button = nullptr;

    void SetUp() override {
        parent = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 200, 100, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
        button = CreateWindowExW(0, L"BUTTON", L"", WS_CHILD | WS_VISIBLE | BS_OWNERDRAW, 10, 10,
                                 120, 32, parent, nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(button, nullptr);
    }
    void TearDown() override { DestroyWindow(parent); }

    // Draws the button with a caption into a fresh magenta canvas.
    void Draw(Canvas& canvas, const wchar_t* caption, bool enabled, bool pressed) {
        SetWindowTextW(button, caption);
        EnableWindow(button, enabled);
        DrawOwnerButton(canvas.dc(), button, pressed);
    }
};

TEST_F(ButtonPaintTest, NormalStartIsGreenWithWhiteOutlineAndText) {
    Canvas canvas(120, 32, kMagenta);
    Draw(canvas, L"🚀 Start Auto", true, false);
    EXPECT_EQ(ColorName(canvas.Pixel(6, 16)), "#22C55E");
    EXPECT_EQ(ColorName(canvas.Pixel(60, 0)), "#FFFFFF");   // outline
    EXPECT_EQ(ColorName(canvas.Pixel(60, 31)), "#FFFFFF");
    EXPECT_EQ(ColorName(canvas.Pixel(0, 0)), "#FF00FF");    // corners are left alone
    EXPECT_EQ(ColorName(canvas.Pixel(119, 31)), "#FF00FF"); // and no shadow
    EXPECT_GT(canvas.Count(RGB(255, 255, 255), 3, 3, 117, 29), 0);  // the caption
}

TEST_F(ButtonPaintTest, PressedIsDarkerWithABlackShadow) {
    Canvas canvas(120, 32, kMagenta);
    Draw(canvas, L"🚀 Start Auto", true, true);
    EXPECT_EQ(ColorName(canvas.Pixel(6, 16)), "#16A34A");
    EXPECT_EQ(ColorName(canvas.Pixel(119, 31)), "#000000");  // the shadow shows at the corner
    EXPECT_EQ(ColorName(canvas.Pixel(0, 0)), "#FF00FF");
    EXPECT_GT(canvas.Count(RGB(255, 255, 255), 3, 3, 117, 29), 0);  // the caption did not move off
}

TEST_F(ButtonPaintTest, DisabledIsGreyWithGreyText) {
    for (bool pressed : {false, true}) {
        Canvas canvas(120, 32, kMagenta);
        Draw(canvas, L"🚀 Start Auto", false, pressed);
        EXPECT_EQ(ColorName(canvas.Pixel(6, 16)), "#646464");
        EXPECT_GT(canvas.Count(RGB(0x96, 0x96, 0x96), 3, 3, 117, 29), 0);
        EXPECT_EQ(canvas.Count(RGB(255, 255, 255), 3, 3, 117, 29), 0);
    }
}

TEST_F(ButtonPaintTest, SupportButtonsAreBlue) {
    for (const wchar_t* caption : {L"🔄 Zalo Hỗ trợ", L"🏠 Telegram", L""}) {
        Canvas canvas(120, 32, kMagenta);
        Draw(canvas, caption, true, false);
        EXPECT_EQ(ColorName(canvas.Pixel(6, 16)), "#3B82F6");
        Canvas pressed(120, 32, kMagenta);
        Draw(pressed, caption, true, true);
        EXPECT_EQ(ColorName(pressed.Pixel(6, 16)), "#2563EB");
    }
}

TEST_F(ButtonPaintTest, EmptyCaptionDrawsNoText) {
    Canvas canvas(120, 32, kMagenta);
    Draw(canvas, L"", true, false);
    EXPECT_EQ(canvas.Count(RGB(0x3B, 0x82, 0xF6), 3, 3, 117, 29), 114 * 26);
}

TEST_F(ButtonPaintTest, OnlyTheFirst255CharactersCount) {
    // "Start" beyond the 255 characters read is not seen: the default blue, not green.
    std::wstring caption(255, L' ');
    caption += L"Start";
    Canvas canvas(120, 32, kMagenta);
    Draw(canvas, caption.c_str(), true, false);
    EXPECT_EQ(ColorName(canvas.Pixel(6, 16)), "#3B82F6");
}

}  // namespace
