#include "app/paint.h"

#include <algorithm>

#include "base/scoped_handle.h"

namespace {

constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kBlack = RGB(0, 0, 0);
constexpr COLORREF kDisabledFill = RGB(0x64, 0x64, 0x64);
constexpr COLORREF kDisabledText = RGB(0x96, 0x96, 0x96);
constexpr BYTE kDarkenAlpha = 80;
constexpr int kCorner = 8;

struct ColorRule {
    const wchar_t* keyword;
    ButtonColors colors;
};
constexpr ButtonColors kGreen{RGB(0x22, 0xC5, 0x5E), RGB(0x16, 0xA3, 0x4A)};
constexpr ButtonColors kBlue{RGB(0x3B, 0x82, 0xF6), RGB(0x25, 0x63, 0xEB)};
constexpr ButtonColors kPurple{RGB(0xA8, 0x55, 0xF7), RGB(0x93, 0x33, 0xEA)};
// Searched in this order; the first keyword found anywhere in the caption wins.
constexpr ColorRule kColorRules[] = {
    {L"Start", kGreen},  {L"Khởi động", kGreen}, {L"Update", kBlue},     {L"Cập nhật", kBlue},
    {L"Zalo", kBlue},    {L"Home", kPurple},     {L"Trang chủ", kPurple},
};

HFONT CreateBoldFont(int height) {
    return CreateFontW(height, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_SWISS, L"Segoe UI");
}

void PaintGradient(HDC dc, const RECT& rect) {
    TRIVERTEX vertices[2] = {};
    vertices[0].x = rect.left;
    vertices[0].y = rect.top;
    vertices[0].Red = vertices[0].Green = vertices[0].Blue = 0x1E00;
    vertices[1].x = rect.right;
    vertices[1].y = rect.bottom;
    vertices[1].Red = vertices[1].Green = vertices[1].Blue = 0x2A00;
    GRADIENT_RECT span{0, 1};
    GradientFill(dc, vertices, 2, &span, 1, GRADIENT_FILL_RECT_V);
}

// Blends black over the rectangle at a constant alpha: each channel becomes c * 175 / 255.
void Darken(HDC dc, const RECT& rect) {
    ScopedMemoryDc blackDc(CreateCompatibleDC(dc));
    ScopedGdiObject<HBITMAP> black(CreateCompatibleBitmap(dc, 1, 1));
    ScopedSelect selected(blackDc.get(), black.get());
    SetPixel(blackDc.get(), 0, 0, kBlack);
    BLENDFUNCTION blend{AC_SRC_OVER, 0, kDarkenAlpha, 0};
    AlphaBlend(dc, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
               blackDc.get(), 0, 0, 1, 1, blend);
}

// A filled rounded rectangle in one colour, drawn as a path so pen and brush match exactly.
void FillRoundRect(HDC dc, int left, int top, int right, int bottom, COLORREF color) {
    ScopedGdiObject<HBRUSH> brush(CreateSolidBrush(color));
    ScopedGdiObject<HPEN> pen(CreatePen(PS_SOLID, 1, color));
    ScopedSelect brushSelected(dc, brush.get());
    ScopedSelect penSelected(dc, pen.get());
    BeginPath(dc);
    RoundRect(dc, left, top, right, bottom, kCorner, kCorner);
    EndPath(dc);
    FillPath(dc);
}

}  // namespace

ButtonColors PickButtonColors(const std::wstring& caption) {
    for (const ColorRule& rule : kColorRules) {
        if (caption.find(rule.keyword) != std::wstring::npos) return rule.colors;
    }
    return kBlue;
}

COLORREF ButtonFillColor(const std::wstring& caption, bool enabled, bool pressed) {
    if (!enabled) return kDisabledFill;
    const ButtonColors colors = PickButtonColors(caption);
    return pressed ? colors.pressed : colors.normal;
}

void PaintBackground(HDC dc, const RECT& rect) {
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    // Read afresh on every paint; LoadImageW takes only BMP files, whatever the name says.
    ScopedGdiObject<HBITMAP> picture(static_cast<HBITMAP>(
        LoadImageW(nullptr, L"background.jpg", IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE)));
    if (!picture) {
        PaintGradient(dc, rect);
        return;
    }

    ScopedMemoryDc pictureDc(CreateCompatibleDC(dc));
    ScopedSelect selected(pictureDc.get(), picture.get());
    BITMAP info{};
    GetObjectW(picture.get(), sizeof(info), &info);
    const int bw = info.bmWidth;
    const int bh = info.bmHeight;
    if (bw > 0 && bh > 0) {
        const double scale = std::min(static_cast<double>(width) / bw,
                                      static_cast<double>(height) / bh);
        const int dw = static_cast<int>(bw * scale);
        const int dh = static_cast<int>(bh * scale);
        SetStretchBltMode(dc, HALFTONE);
        StretchBlt(dc, (width - dw) / 2, (height - dh) / 2, dw, dh, pictureDc.get(), 0, 0, bw, bh,
                   SRCCOPY);
    }
    Darken(dc, rect);
}

void PaintHeader(HDC dc, const RECT& rect) {
    const int width = rect.right - rect.left;
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, kWhite);
    ScopedGdiObject<HFONT> font(CreateBoldFont(24));
    ScopedSelect selected(dc, font.get());
    RECT band{20, 20, width - 20, 60};
    DrawTextW(dc, L"🚀 Hopwell", -1, &band, DT_SINGLELINE | DT_VCENTER);
}

void DrawOwnerButton(HDC dc, HWND button, bool pressed) {
    RECT client{};
    GetClientRect(button, &client);
    const int w = client.right - client.left;
    const int h = client.bottom - client.top;
    const bool enabled = IsWindowEnabled(button) != FALSE;
    wchar_t caption[256] = {};
    GetWindowTextW(button, caption, 256);
    const COLORREF fill = ButtonFillColor(caption, enabled, pressed);

    if (pressed) FillRoundRect(dc, 2, 2, w + 2, h + 2, kBlack);  // shadow, clipped by the button
    FillRoundRect(dc, 0, 0, w, h, fill);

    {
        ScopedGdiObject<HPEN> border(CreatePen(PS_SOLID, 1, kWhite));
        ScopedSelect penSelected(dc, border.get());
        ScopedSelect brushSelected(dc, GetStockObject(NULL_BRUSH));
        RoundRect(dc, 0, 0, w, h, kCorner, kCorner);
    }

    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, enabled ? kWhite : kDisabledText);
    ScopedGdiObject<HFONT> font(CreateBoldFont(16));
    ScopedSelect selected(dc, font.get());
    DrawTextW(dc, caption, -1, &client, DT_SINGLELINE | DT_VCENTER | DT_CENTER);
}
