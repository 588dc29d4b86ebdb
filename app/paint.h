#pragma once
#include <windows.h>

#include <string>

// Background of the client area: "background.jpg" from the current directory (a BMP in spite of
// its name) scaled to fit, centred and darkened; otherwise a vertical gradient #1E1E1E..#2A2A2A.
void PaintBackground(HDC dc, const RECT& rect);

// The "🚀 Hopwell" caption across the top, drawn after the background.
void PaintHeader(HDC dc, const RECT& rect);

// An owner-drawn button: rounded body in the colour its caption and state pick, white outline,
// centred caption; a black shadow while pressed.
void DrawOwnerButton(HDC dc, HWND button, bool pressed);

// The colour pair for a caption: the first keyword of the table found in it.
struct ButtonColors {
    COLORREF normal;
    COLORREF pressed;
};
ButtonColors PickButtonColors(const std::wstring& caption);

// The body colour: grey when disabled, else the pressed or normal colour of the caption.
COLORREF ButtonFillColor(const std::wstring& caption, bool enabled, bool pressed);
