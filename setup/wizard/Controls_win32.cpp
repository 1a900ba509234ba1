#include "Controls_win32.h"

namespace {

constexpr int kTitleFontHeight = -18;

// The full structure, padded-border width included, is what the size field announces.
static_assert(sizeof(NONCLIENTMETRICSW) == 504, "NONCLIENTMETRICSW must include iPaddedBorderWidth");

// Edges rather than sizes are scaled, so controls that touch at 96 DPI still touch and never overlap.
RECT ScaleRect(const ControlRect& rect, int dpi)
{
    return {Scale(rect.x, dpi), Scale(rect.y, dpi), Scale(rect.x + rect.width, dpi), Scale(rect.y + rect.height, dpi)};
}

// The message font comes at the system's DPI; the window's may differ (another monitor).
WindowFonts CreateWindowFonts(int dpi)
{
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    LOGFONTW font = metrics.lfMessageFont;
    font.lfHeight = MulDiv(font.lfHeight, dpi, ScreenDpi());
    WindowFonts fonts;
    fonts.normal = CreateFontIndirectW(&font);
    font.lfWeight = FW_BOLD;
    fonts.bold = CreateFontIndirectW(&font);
    font.lfHeight = Scale(kTitleFontHeight, dpi);
    fonts.title = CreateFontIndirectW(&font);
    return fonts;
}

void ReleaseFonts(WindowFonts& fonts)
{
    for (HFONT font : {fonts.normal, fonts.bold, fonts.title})
        if (font) DeleteObject(font);
    fonts = {};
}

HFONT FontFor(const WindowFonts& fonts, FontRole role)
{
    switch (role) {
    case FontRole::Normal: return fonts.normal;
    case FontRole::Bold: return fonts.bold ? fonts.bold : fonts.normal;
    case FontRole::Title: return fonts.title ? fonts.title : fonts.normal;
    default: return nullptr;
    }
}

void SetFont(const ControlLayout& layout, HWND control, FontRole font)
{
    if (font != FontRole::None) SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(layout.fonts, font)), TRUE);
}

}  // namespace

int Scale(int value, int dpi)
{
    return MulDiv(value, dpi, 96);
}

int ScreenDpi()
{
    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSX) : 0;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

// GetDpiForWindow exists from Windows 10 1607 on; before that every window has the screen's DPI.
int WindowDpi(HWND window)
{
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    const UINT dpi = getDpiForWindow && window ? getDpiForWindow(window) : 0;
    return dpi ? static_cast<int>(dpi) : ScreenDpi();
}

ControlRect ClientArea96(HWND window, int dpi)
{
    RECT client = {};
    GetClientRect(window, &client);
    return {0, 0, MulDiv(client.right, 96, dpi), MulDiv(client.bottom, 96, dpi)};
}

LRESULT PaintWhite(HWND window, HDC dc)
{
    RECT client = {};
    GetClientRect(window, &client);
    FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    return 1;
}

void TakeSuggestedRect(HWND window, LPARAM lParam)
{
    const auto* suggested = reinterpret_cast<const RECT*>(lParam);
    SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                 suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
}

// The old fonts go only once every control has the new ones.
void ApplyLayoutDpi(ControlLayout& layout, int dpi)
{
    WindowFonts old = layout.fonts;
    layout.dpi = dpi;
    layout.fonts = CreateWindowFonts(dpi);
    for (const PlacedControl& placed : layout.placed) {
        const RECT rect = ScaleRect(placed.rect, dpi);
        SetWindowPos(placed.control, nullptr, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        SetFont(layout, placed.control, placed.font);
    }
    ReleaseFonts(old);
}

void ReleaseLayoutFonts(ControlLayout& layout)
{
    ReleaseFonts(layout.fonts);
}

// A child belongs to the module of the window it is built in.
HWND CreateControl(ControlLayout& layout, const ControlArgs& args)
{
    const RECT scaled = ScaleRect(args.rect, layout.dpi);
    const auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(args.parent, GWLP_HINSTANCE));
    HWND control = CreateWindowExW(args.exStyle, args.className, args.text.c_str(), args.style, scaled.left, scaled.top,
                                   scaled.right - scaled.left, scaled.bottom - scaled.top, args.parent,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(args.id)), instance, nullptr);
    if (!control) return nullptr;
    layout.placed.push_back({control, args.rect, args.font});
    SetFont(layout, control, args.font);
    return control;
}

HWND CreateLabel(ControlLayout& layout, ControlArgs args)
{
    args.className = L"STATIC";
    return CreateControl(layout, args);
}

HWND CreateButton(ControlLayout& layout, ControlArgs args)
{
    args.className = L"BUTTON";
    args.style |= WS_TABSTOP;
    return CreateControl(layout, args);
}

HWND CreateEditField(ControlLayout& layout, ControlArgs args)
{
    args.className = L"EDIT";
    args.style |= WS_TABSTOP | ES_AUTOHSCROLL;
    args.exStyle |= WS_EX_CLIENTEDGE;
    return CreateControl(layout, args);
}
