#pragma once
#include <windows.h>
#include <commctrl.h>

#include <string>

extern int CurrentPage;
extern HWND DisclaimerPage;
extern HWND ConfigPage;
extern HWND SkillsPage;
extern HWND ProgressPage;

int RunWizard(int showCommand);
LRESULT CALLBACK WizardWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK PageSubclassProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id, DWORD_PTR data);
HWND CreateEditField(HWND parent, int id, const std::wstring& text, int y, int width, DWORD extraStyle);
void BuildConfigPage(HWND window);
void BuildSkillsPage(HWND window);
void BuildProgressPage(HWND window);
void ShowPage(int page);
LRESULT HandleWizardCommand(HWND window, int controlId);
LRESULT HandleWizardNotify(const NMHDR* header);
void HandleInstallDone(HWND window, bool succeeded);
void HandleCloseRequest(HWND window);
void HandleCloseTimer(HWND window);
