#pragma once
// Helpers for tests that open windows or read pixels.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "base/scoped_handle.h"

// Dispatches this thread's messages until done() holds or timeoutMs pass; returns done().
bool PumpUntil(const std::function<bool()>& done, unsigned timeoutMs = 5000);
// Dispatches whatever is queued now (WM_QUIT included: it is taken off and dropped).
void PumpPending();

// A window's text through WM_GETTEXT.
std::wstring TextOf(HWND window);
// A child's rectangle in its parent's client coordinates.
RECT ChildRect(HWND child);

// A 32-bit top-down DIB selected into a memory DC: draw into dc(), read with Pixel().
class Canvas {
public:
    Canvas(int width, int height, COLORREF fill);
    ~Canvas();
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    HDC dc() const { return dc_.get(); }
    int width() const { return width_; }
    int height() const { return height_; }
    COLORREF Pixel(int x, int y) const;
    // How many pixels inside [left, right) x [top, bottom) have exactly this colour.
    int Count(COLORREF color, int left, int top, int right, int bottom) const;

private:
    int width_;
    int height_;
    ScopedMemoryDc dc_;
    ScopedGdiObject<HBITMAP> bitmap_;
    HGDIOBJ previous_ = nullptr;
    uint32_t* bits_ = nullptr;
};

// "#RRGGBB", for readable failures.
std::string ColorName(COLORREF color);
// Whether two colours differ by at most tolerance in every channel.
bool Near(COLORREF a, COLORREF b, int tolerance);
