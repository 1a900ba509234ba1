#pragma once
#include <windows.h>

#include <string>
#include <vector>

// A window's three fonts, made for its DPI and made again when that changes.
struct WindowFonts {
    HFONT normal = nullptr;
    HFONT bold = nullptr;
    HFONT title = nullptr;
};

enum class FontRole { None, Normal, Bold, Title };

// A rectangle in 96-DPI units of the parent's client area.
struct ControlRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// Sent when the window moves to a monitor of another DPI; older SDK headers lack its name.
#ifndef WM_DPICHANGED
inline constexpr UINT WM_DPICHANGED = 0x02E0;
#endif

inline constexpr DWORD kVisibleChild = WS_CHILD | WS_VISIBLE;

// One child control, named field by field; what a field does not say takes its default.
struct ControlArgs {
    HWND parent = nullptr;
    const wchar_t* className = L"STATIC";
    std::wstring text{};
    DWORD style = kVisibleChild;
    DWORD exStyle = 0;
    ControlRect rect{};
    int id = 0;
    FontRole font = FontRole::Normal;
};

// One control as it was built, from which every DPI's position and font is worked out again.
struct PlacedControl {
    HWND control;
    ControlRect rect;
    FontRole font;
};

// The controls of one window, the DPI they are shown at and the fonts made for it.
struct ControlLayout {
    int dpi = 96;
    WindowFonts fonts;
    std::vector<PlacedControl> placed;
};

// The state a window carries in its user data, stored from WM_NCCREATE's creation parameter on;
// null before that message.
template <typename State>
State* WindowStateOf(HWND window, UINT message, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    return reinterpret_cast<State*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

// A 96-DPI length at the DPI.
int Scale(int value, int dpi);
// The DPI of the screen, 96 when it cannot be read.
int ScreenDpi();
// The DPI of the window's monitor where Windows tells it, else the screen's.
int WindowDpi(HWND window);
// The window's client area, in 96-DPI units at the DPI.
ControlRect ClientArea96(HWND window, int dpi);
// Fills the client area white, as WM_ERASEBKGND asks; its answer to the message.
LRESULT PaintWhite(HWND window, HDC dc);
// Moves the window to the rectangle WM_DPICHANGED suggests in lParam.
void TakeSuggestedRect(HWND window, LPARAM lParam);
// Makes the fonts for the DPI, and places every control and gives it its font again.
void ApplyLayoutDpi(ControlLayout& layout, int dpi);
// Releases the fonts, when the window goes.
void ReleaseLayoutFonts(ControlLayout& layout);

// Creates the control at the layout's DPI and notes it for the next change of DPI; null when it failed.
HWND CreateControl(ControlLayout& layout, const ControlArgs& args);
// A static text.
HWND CreateLabel(ControlLayout& layout, ControlArgs args);
// A button that Tab reaches: a push button, or a check box or default button by its style.
HWND CreateButton(ControlLayout& layout, ControlArgs args);
// A one-line edit field with a sunken edge that Tab reaches.
HWND CreateEditField(ControlLayout& layout, ControlArgs args);
