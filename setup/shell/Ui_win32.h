#pragma once
#include <windows.h>

extern HINSTANCE AppInstance;
extern HWND MainWindow;
extern HFONT NormalFont;
extern HFONT BoldFont;
extern HFONT TitleFont;
