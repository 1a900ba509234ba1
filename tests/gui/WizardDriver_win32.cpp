// Works a running setup wizard the way a person would, following a command script, and
// writes what it saw into a UTF-8 report.
//   wizard_driver.exe SCRIPT REPORT
//
// Script: one command per line (UTF-8); blank lines and lines starting with # are skipped.
// IDs are decimal control ids; MS are milliseconds; TEXT runs to the end of the line and
// may contain spaces or be empty, except in wait-status and trace-status where the last word is MS.
// Each command, what it does, and the report line(s) it writes:
//   wait-window [MS]      wait until the wizard window is shown          window PID TITLE
//   window-class NAME     look for windows of that class from now on (the uninstaller's)   class NAME
//   read ID               a control's text (a drop-down list: its pick)  text ID VALUE
//   expect-text ID TEXT   wait up to 5 s for that text, else fail        text ID VALUE
//   set ID TEXT           type into an edit (WM_SETTEXT)                 set ID VALUE
//   check ID              tick a check box by clicking it                checked ID 0|1
//   is-checked ID         whether a check box is ticked                  checked ID 0|1
//   press ID              click a button                                 pressed ID
//   enabled ID            whether the control takes input                enabled ID 0|1
//   visible ID            whether the control is on show                 visible ID 0|1
//   expect-visible ID     wait up to 5 s for the control to show, else fail  shown ID
//   expect-box [MS]       wait for a message box owned by the wizard     box CAPTION TEXT
//   answer-box BUTTONID   click a button of that box, wait for it to go  answered BUTTONID
//   expect-no-box MS      watch MS for a box owned by the wizard         no-box | box CAPTION TEXT
//   list-rows             every row of the skills list                   rows N; row I NAME DESC SIZE STATE
//   tick ROW, untick ROW  set a row's check box (state image 2 or 1)     row-state ROW STATE
//   expect-states DIGITS  wait up to 5 s for the rows' state images, in row order, to read
//                         DIGITS (1 clear, 2 ticked), else fail          states DIGITS
//   wait-status TEXT MS   wait for the status line to read TEXT          status VALUE
//   trace-status TEXT MS  as wait-status, and note the status line's     status-at MS VALUE
//                         text at the start and at each change up to     for each text seen
//                         TEXT, with milliseconds since the command
//                         began (read every 5 ms: a text shown for
//                         less time may be missed)
//   wait-enabled ID MS    wait for the control to take input, else fail  enabled ID 1
//   wait-disabled ID MS   wait for the control to refuse input, else fail  enabled ID 0
//   log                   every line of the progress log                 log-count N; log I LINE
//   progress              the progress bar's position                    progress POS
//   screenshot FILE.bmp   the window's rectangle as a 24-bit BMP         screenshot FILE W H
//   close                 the title bar's close box (WM_CLOSE)           closed
//   end-program NAME      end every process whose program file is NAME   ended N
//                         (as the user closing it would), wait for them
//   key KEYS              press keys as the keyboard would, to whatever  key KEYS
//                         has the focus (the wizard or its message box):
//                         TAB, ENTER, ESC, SPACE, UP, DOWN, a letter or digit,
//                         with SHIFT+ or ALT+ in front
//   type TEXT             type TEXT as keystrokes                        typed TEXT
//   focus                 the control of the wizard's thread that has    focus ID CLASS
//                         the focus (0 none when nothing has it)
//   expect-focus ID       wait up to 5 s for control ID to have the      focus ID CLASS
//                         focus, else fail
//   layout                the wizard's client and outer sizes, then      client W H OUTER-W OUTER-H
//                         every child of the window and of the page on   control SCOPE ID CLASS
//                         show:
//                         SCOPE is window or page, the rectangle is        L T R B X Y
//                         in its parent's client area, X Y its top-left
//                         corner's offset in the window's screenshot
//   wait-exit [MS]        wait for the wizard's process to end           exit CODE
//
// Report: one line per observation, fields separated by tabs; inside a field a backslash,
// tab, CR and LF are written as \\, \t, \r and \n. A command that cannot do its job writes
// "error LINE MESSAGE" and ends the script; the driver then exits with code 1.
#include <windows.h>
#include <commctrl.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwctype>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr wchar_t kWizardClass[] = L"QuillmereSetup";
constexpr int kProgressId = 5001;
constexpr int kStatusId = 5002;
constexpr int kLogId = 5003;
constexpr int kSkillListId = 4001;
constexpr DWORD kPollMs = 50;
constexpr DWORD kDefaultWaitMs = 10000;
constexpr DWORD kExpectTextMs = 5000;
constexpr DWORD kTracePollMs = 5;

struct CommandFailed {
    std::wstring message;
};

struct Driver {
    std::wstring windowClass = kWizardClass;
    HWND wizard = nullptr;
    HANDLE process = nullptr;
    HWND box = nullptr;
    std::string report;
};

// ---- text ---------------------------------------------------------------------------------

std::string Utf8(const std::wstring& text)
{
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring Wide(const std::string& utf8)
{
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

// Control texts hold line breaks and tabs; escaping keeps one observation on one line.
std::string Field(const std::wstring& text)
{
    std::string out;
    for (char c : Utf8(text)) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        default: out.push_back(c);
        }
    }
    return out;
}

void Report(Driver& driver, const std::vector<std::wstring>& fields)
{
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i) driver.report += '\t';
        driver.report += Field(fields[i]);
    }
    driver.report += '\n';
}

std::wstring Number(long long value)
{
    return std::to_wstring(value);
}

// ---- arguments ----------------------------------------------------------------------------

struct Command {
    std::wstring name;
    std::wstring rest;  // everything after the name and one space
};

Command ParseCommand(const std::wstring& line)
{
    const size_t space = line.find(L' ');
    if (space == std::wstring::npos) return {line, L""};
    return {line.substr(0, space), line.substr(space + 1)};
}

long long ParseNumber(const std::wstring& text)
{
    if (text.empty()) throw CommandFailed{L"a number is missing"};
    size_t used = 0;
    long long value = 0;
    try {
        value = std::stoll(text, &used);
    } catch (...) {
        used = 0;
    }
    if (used != text.size()) throw CommandFailed{L"not a number: " + text};
    return value;
}

DWORD TimeoutOr(const std::wstring& text, DWORD fallback)
{
    return text.empty() ? fallback : static_cast<DWORD>(ParseNumber(text));
}

// "ID TEXT": the id, and the rest of the line as the text.
std::pair<int, std::wstring> IdAndText(const std::wstring& rest)
{
    const size_t space = rest.find(L' ');
    if (space == std::wstring::npos) return {static_cast<int>(ParseNumber(rest)), L""};
    return {static_cast<int>(ParseNumber(rest.substr(0, space))), rest.substr(space + 1)};
}

// "TEXT MS": the last word is the time-out, the rest the text.
std::pair<std::wstring, DWORD> TextAndTimeout(const std::wstring& rest)
{
    const size_t space = rest.rfind(L' ');
    if (space == std::wstring::npos) throw CommandFailed{L"expected TEXT MS"};
    return {rest.substr(0, space), static_cast<DWORD>(ParseNumber(rest.substr(space + 1)))};
}

// ---- finding windows ----------------------------------------------------------------------

HWND Wizard(const Driver& driver)
{
    if (!driver.wizard || !IsWindow(driver.wizard)) throw CommandFailed{L"the wizard window is not there"};
    return driver.wizard;
}

struct ControlSearch {
    int id = 0;
    HWND visible = nullptr;
    HWND hidden = nullptr;
};

BOOL CALLBACK CollectControl(HWND window, LPARAM param)
{
    auto* search = reinterpret_cast<ControlSearch*>(param);
    if (GetDlgCtrlID(window) != search->id) return TRUE;
    if (IsWindowVisible(window)) {
        search->visible = window;
        return FALSE;
    }
    if (!search->hidden) search->hidden = window;
    return TRUE;
}

// Controls sit on page containers, so the whole tree is searched; the page on show wins.
HWND Control(const Driver& driver, int id)
{
    ControlSearch search{id};
    EnumChildWindows(Wizard(driver), CollectControl, reinterpret_cast<LPARAM>(&search));
    HWND found = search.visible ? search.visible : search.hidden;
    if (!found) throw CommandFailed{L"no control with id " + Number(id)};
    return found;
}

std::wstring ClassOf(HWND window)
{
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

std::wstring WindowText(HWND window)
{
    const LRESULT length = SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const LRESULT copied = SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(copied));
    return text;
}

std::wstring ComboSelection(HWND combo)
{
    const LRESULT index = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) return L"";
    const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, index, 0);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    SendMessageW(combo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(length));
    return text;
}

std::wstring ControlText(HWND control)
{
    if (lstrcmpiW(ClassOf(control).c_str(), L"ComboBox") == 0) return ComboSelection(control);
    return WindowText(control);
}

struct BoxSearch {
    HWND owner = nullptr;
    HWND box = nullptr;
};

BOOL CALLBACK FindOwnedBox(HWND window, LPARAM param)
{
    auto* search = reinterpret_cast<BoxSearch*>(param);
    if (GetWindow(window, GW_OWNER) == search->owner && ClassOf(window) == L"#32770" && IsWindowVisible(window)) {
        search->box = window;
        return FALSE;
    }
    return TRUE;
}

HWND OwnedBox(const Driver& driver)
{
    BoxSearch search{Wizard(driver), nullptr};
    EnumWindows(FindOwnedBox, reinterpret_cast<LPARAM>(&search));
    return search.box;
}

void ReportBox(Driver& driver, HWND box)
{
    Report(driver, {L"box", WindowText(box), WindowText(GetDlgItem(box, 0xFFFF))});
}

// ---- memory in the wizard's process -------------------------------------------------------

// LVITEMW carries pointers, so the list view can only read and fill one in its own process.
class RemoteItem {
public:
    static constexpr size_t kTextChars = 1024;

    explicit RemoteItem(HANDLE process) : process_(process)
    {
        memory_ = static_cast<char*>(VirtualAllocEx(process, nullptr, sizeof(LVITEMW) + kTextChars * sizeof(wchar_t),
                                                    MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        if (!memory_) throw CommandFailed{L"VirtualAllocEx failed: " + Number(GetLastError())};
    }
    ~RemoteItem() { VirtualFreeEx(process_, memory_, 0, MEM_RELEASE); }
    RemoteItem(const RemoteItem&) = delete;
    RemoteItem& operator=(const RemoteItem&) = delete;

    wchar_t* RemoteText() const { return reinterpret_cast<wchar_t*>(memory_ + sizeof(LVITEMW)); }

    LPARAM Put(const LVITEMW& item)
    {
        if (!WriteProcessMemory(process_, memory_, &item, sizeof item, nullptr))
            throw CommandFailed{L"WriteProcessMemory failed: " + Number(GetLastError())};
        return reinterpret_cast<LPARAM>(memory_);
    }

    std::wstring TakeText(size_t length) const
    {
        if (length == 0) return {};
        std::wstring text(length < kTextChars ? length : kTextChars - 1, L'\0');
        if (!ReadProcessMemory(process_, RemoteText(), text.data(), text.size() * sizeof(wchar_t), nullptr))
            throw CommandFailed{L"ReadProcessMemory failed: " + Number(GetLastError())};
        return text;
    }

private:
    HANDLE process_;
    char* memory_ = nullptr;
};

std::wstring CellText(HWND list, RemoteItem& remote, int row, int column)
{
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = remote.RemoteText();
    item.cchTextMax = RemoteItem::kTextChars;
    const LRESULT length = SendMessageW(list, LVM_GETITEMTEXTW, row, remote.Put(item));
    return remote.TakeText(static_cast<size_t>(length));
}

int StateImage(HWND list, int row)
{
    return static_cast<int>((SendMessageW(list, LVM_GETITEMSTATE, row, LVIS_STATEIMAGEMASK) & LVIS_STATEIMAGEMASK) >> 12);
}

// ---- screenshots --------------------------------------------------------------------------

void WriteBmp(const std::wstring& path, int width, int height, const std::vector<unsigned char>& rows)
{
    BITMAPINFOHEADER info = {};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    info.biSizeImage = static_cast<DWORD>(rows.size());
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + info.biSizeImage;
    FILE* out = _wfopen(path.c_str(), L"wb");
    if (!out) throw CommandFailed{L"cannot write " + path};
    std::fwrite(&file, sizeof file, 1, out);
    std::fwrite(&info, sizeof info, 1, out);
    std::fwrite(rows.data(), 1, rows.size(), out);
    std::fclose(out);
}

// The screen is read rather than the window asked to print itself, so what is checked is
// what a person would see, message boxes on top included.
std::vector<unsigned char> CaptureScreen(const RECT& area)
{
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    const BOOL copied = BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
    GdiFlush();
    const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
    std::vector<unsigned char> rows;
    if (copied && bits) rows.assign(static_cast<unsigned char*>(bits), static_cast<unsigned char*>(bits) + stride * height);
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (rows.empty()) throw CommandFailed{L"BitBlt from the screen failed"};
    return rows;
}

// ---- commands -----------------------------------------------------------------------------

template <typename Condition>
bool WaitFor(DWORD timeoutMs, Condition condition);

// ---- keyboard -----------------------------------------------------------------------------

INPUT KeyInput(WORD vk, WORD scan, DWORD flags)
{
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = vk;
    input.ki.wScan = scan;
    input.ki.dwFlags = flags;
    return input;
}

// Real key strokes (not posted messages), so the modifier state and the dialog manager see what
// a person's keyboard would give; they go to the foreground window, which is made the wizard or
// its message box first.
void SendKeys(Driver& driver, std::vector<INPUT> inputs)
{
    HWND box = OwnedBox(driver);
    HWND target = box ? box : Wizard(driver);
    if (GetForegroundWindow() != target) SetForegroundWindow(target);
    if (SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT)) != inputs.size())
        throw CommandFailed{L"SendInput failed: " + Number(GetLastError())};
    Sleep(300);  // the wizard handles them on its own thread
}

WORD KeyCode(const std::wstring& name)
{
    if (name == L"TAB") return VK_TAB;
    if (name == L"ENTER") return VK_RETURN;
    if (name == L"ESC") return VK_ESCAPE;
    if (name == L"SPACE") return VK_SPACE;
    if (name == L"UP") return VK_UP;
    if (name == L"DOWN") return VK_DOWN;
    if (name.size() == 1 && std::iswalnum(name[0])) return static_cast<WORD>(std::towupper(name[0]));
    throw CommandFailed{L"unknown key " + name};
}

void Key(Driver& driver, const std::wstring& rest)
{
    std::vector<WORD> modifiers;
    std::wstring name = rest;
    for (size_t plus; (plus = name.find(L'+')) != std::wstring::npos; name = name.substr(plus + 1)) {
        const std::wstring modifier = name.substr(0, plus);
        if (modifier == L"SHIFT") modifiers.push_back(VK_SHIFT);
        else if (modifier == L"ALT") modifiers.push_back(VK_MENU);
        else throw CommandFailed{L"unknown modifier " + modifier};
    }
    const WORD key = KeyCode(name);
    std::vector<INPUT> inputs;
    for (WORD modifier : modifiers) inputs.push_back(KeyInput(modifier, 0, 0));
    inputs.push_back(KeyInput(key, 0, 0));
    inputs.push_back(KeyInput(key, 0, KEYEVENTF_KEYUP));
    for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it) inputs.push_back(KeyInput(*it, 0, KEYEVENTF_KEYUP));
    SendKeys(driver, inputs);
    Report(driver, {L"key", rest});
}

void Type(Driver& driver, const std::wstring& rest)
{
    std::vector<INPUT> inputs;
    for (wchar_t c : rest) {
        inputs.push_back(KeyInput(0, c, KEYEVENTF_UNICODE));
        inputs.push_back(KeyInput(0, c, KEYEVENTF_UNICODE | KEYEVENTF_KEYUP));
    }
    if (!inputs.empty()) SendKeys(driver, inputs);
    Report(driver, {L"typed", rest});
}

HWND FocusedControl(const Driver& driver)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(Wizard(driver), nullptr), &info)) return nullptr;
    return info.hwndFocus;
}

void ReportFocus(Driver& driver, HWND focus)
{
    Report(driver, {L"focus", Number(focus ? GetDlgCtrlID(focus) : 0), focus ? ClassOf(focus) : L"none"});
}

void Focus(Driver& driver, const std::wstring&)
{
    ReportFocus(driver, FocusedControl(driver));
}

void ExpectFocus(Driver& driver, const std::wstring& rest)
{
    const int id = static_cast<int>(ParseNumber(rest));
    HWND focus = nullptr;
    const bool matched = WaitFor(kExpectTextMs, [&] {
        focus = FocusedControl(driver);
        return focus && GetDlgCtrlID(focus) == id;
    });
    ReportFocus(driver, focus);
    if (!matched) throw CommandFailed{L"the focus is not on control " + Number(id)};
}

// ---- layout -------------------------------------------------------------------------------

struct LayoutScope {
    Driver* driver;
    HWND parent;
    const wchar_t* name;
    RECT windowRect;
};

BOOL CALLBACK ReportChild(HWND child, LPARAM param)
{
    auto* scope = reinterpret_cast<LayoutScope*>(param);
    if (GetParent(child) != scope->parent || !IsWindowVisible(child)) return TRUE;
    RECT rect = {};
    GetWindowRect(child, &rect);
    const POINT screenCorner{rect.left, rect.top};
    MapWindowPoints(HWND_DESKTOP, scope->parent, reinterpret_cast<POINT*>(&rect), 2);
    Report(*scope->driver, {L"control", scope->name, Number(GetDlgCtrlID(child)), ClassOf(child), Number(rect.left),
                            Number(rect.top), Number(rect.right), Number(rect.bottom),
                            Number(screenCorner.x - scope->windowRect.left),
                            Number(screenCorner.y - scope->windowRect.top)});
    return TRUE;
}

void Layout(Driver& driver, const std::wstring&)
{
    HWND wizard = Wizard(driver);
    RECT client = {}, outer = {};
    GetClientRect(wizard, &client);
    GetWindowRect(wizard, &outer);
    Report(driver, {L"client", Number(client.right), Number(client.bottom), Number(outer.right - outer.left),
                    Number(outer.bottom - outer.top)});
    LayoutScope window{&driver, wizard, L"window", outer};
    EnumChildWindows(wizard, ReportChild, reinterpret_cast<LPARAM>(&window));
    for (HWND page = GetWindow(wizard, GW_CHILD); page; page = GetWindow(page, GW_HWNDNEXT)) {
        if (!IsWindowVisible(page) || !GetWindow(page, GW_CHILD)) continue;
        LayoutScope scope{&driver, page, L"page", outer};
        EnumChildWindows(page, ReportChild, reinterpret_cast<LPARAM>(&scope));
    }
}

template <typename Condition>
bool WaitFor(DWORD timeoutMs, Condition condition)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (condition()) return true;
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(kPollMs);
    }
}

void WaitWindow(Driver& driver, const std::wstring& rest)
{
    const bool shown = WaitFor(TimeoutOr(rest, 30000), [&] {
        driver.wizard = FindWindowW(driver.windowClass.c_str(), nullptr);
        return driver.wizard && IsWindowVisible(driver.wizard);
    });
    if (!shown) throw CommandFailed{L"no visible window of class " + driver.windowClass};
    DWORD processId = 0;
    GetWindowThreadProcessId(driver.wizard, &processId);
    driver.process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_VM_OPERATION | PROCESS_VM_READ |
                                     PROCESS_VM_WRITE,
                                 FALSE, processId);
    if (!driver.process) throw CommandFailed{L"OpenProcess failed: " + Number(GetLastError())};
    Report(driver, {L"window", Number(processId), WindowText(driver.wizard)});
}

void WindowClass(Driver& driver, const std::wstring& rest)
{
    driver.windowClass = rest;
    Report(driver, {L"class", rest});
}

void Read(Driver& driver, const std::wstring& rest)
{
    const int id = static_cast<int>(ParseNumber(rest));
    Report(driver, {L"text", Number(id), ControlText(Control(driver, id))});
}

void ExpectText(Driver& driver, const std::wstring& rest)
{
    const auto [id, wanted] = IdAndText(rest);
    std::wstring seen;
    const bool matched = WaitFor(kExpectTextMs, [&] {
        seen = ControlText(Control(driver, id));
        return seen == wanted;
    });
    Report(driver, {L"text", Number(id), seen});
    if (!matched) throw CommandFailed{L"control " + Number(id) + L" reads \"" + seen + L"\""};
}

void Set(Driver& driver, const std::wstring& rest)
{
    const auto [id, text] = IdAndText(rest);
    HWND control = Control(driver, id);
    SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    Report(driver, {L"set", Number(id), WindowText(control)});
}

// A click toggles, so the box is clicked only while clear, as a person would.
void Check(Driver& driver, const std::wstring& rest)
{
    const int id = static_cast<int>(ParseNumber(rest));
    HWND box = Control(driver, id);
    if (SendMessageW(box, BM_GETCHECK, 0, 0) != BST_CHECKED) PostMessageW(box, BM_CLICK, 0, 0);
    WaitFor(kExpectTextMs, [&] { return SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED; });
    Report(driver, {L"checked", Number(id), Number(SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED)});
}

void IsChecked(Driver& driver, const std::wstring& rest)
{
    const int id = static_cast<int>(ParseNumber(rest));
    Report(driver, {L"checked", Number(id), Number(SendMessageW(Control(driver, id), BM_GETCHECK, 0, 0) == BST_CHECKED)});
}

// Posted, because the wizard may answer a click with a modal box and a send would wait for it.
void Press(Driver& driver, const std::wstring& rest)
{
    const int id = static_cast<int>(ParseNumber(rest));
    if (!PostMessageW(Control(driver, id), BM_CLICK, 0, 0)) throw CommandFailed{L"PostMessageW failed"};
    Report(driver, {L"pressed", Number(id)});
}

void Enabled(Driver& driver, const std::wstring& rest)
{
    const int id = static_cast<int>(ParseNumber(rest));
    Report(driver, {L"enabled", Number(id), Number(IsWindowEnabled(Control(driver, id)) ? 1 : 0)});
}

void Visible(Driver& driver, const std::wstring& rest)
{
    const int id = static_cast<int>(ParseNumber(rest));
    Report(driver, {L"visible", Number(id), Number(IsWindowVisible(Control(driver, id)) ? 1 : 0)});
}

// Clicks are posted, so their effect is waited for rather than assumed.
void ExpectVisible(Driver& driver, const std::wstring& rest)
{
    const int id = static_cast<int>(ParseNumber(rest));
    if (!WaitFor(kExpectTextMs, [&] { return IsWindowVisible(Control(driver, id)) != FALSE; }))
        throw CommandFailed{L"control " + Number(id) + L" stayed hidden"};
    Report(driver, {L"shown", Number(id)});
}

void ExpectBox(Driver& driver, const std::wstring& rest)
{
    if (!WaitFor(TimeoutOr(rest, kDefaultWaitMs), [&] { return (driver.box = OwnedBox(driver)) != nullptr; }))
        throw CommandFailed{L"no message box appeared"};
    Sleep(200);  // let the box finish laying out its text
    ReportBox(driver, driver.box);
}

void AnswerBox(Driver& driver, const std::wstring& rest)
{
    const int button = static_cast<int>(ParseNumber(rest));
    if (!driver.box || !IsWindow(driver.box)) throw CommandFailed{L"no message box to answer"};
    HWND control = GetDlgItem(driver.box, button);
    if (!control) throw CommandFailed{L"the box has no button " + Number(button)};
    PostMessageW(control, BM_CLICK, 0, 0);
    HWND answered = driver.box;
    driver.box = nullptr;
    if (!WaitFor(kDefaultWaitMs, [&] { return !IsWindow(answered); })) throw CommandFailed{L"the box stayed"};
    Report(driver, {L"answered", Number(button)});
}

void ExpectNoBox(Driver& driver, const std::wstring& rest)
{
    HWND box = nullptr;
    if (WaitFor(static_cast<DWORD>(ParseNumber(rest)), [&] { return (box = OwnedBox(driver)) != nullptr; })) {
        Sleep(200);
        driver.box = box;
        ReportBox(driver, box);
        return;
    }
    Report(driver, {L"no-box"});
}

void ListRows(Driver& driver, const std::wstring&)
{
    HWND list = Control(driver, kSkillListId);
    RemoteItem remote(driver.process);
    const int count = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    Report(driver, {L"rows", Number(count)});
    for (int row = 0; row < count; ++row) {
        Report(driver, {L"row", Number(row), CellText(list, remote, row, 0), CellText(list, remote, row, 1),
                        CellText(list, remote, row, 2), Number(StateImage(list, row))});
    }
}

std::wstring StateDigits(HWND list)
{
    std::wstring digits;
    const int count = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    for (int row = 0; row < count; ++row) digits += Number(StateImage(list, row));
    return digits;
}

void ExpectStates(Driver& driver, const std::wstring& rest)
{
    HWND list = Control(driver, kSkillListId);
    std::wstring seen;
    const bool matched = WaitFor(kExpectTextMs, [&] { return (seen = StateDigits(list)) == rest; });
    Report(driver, {L"states", seen});
    if (!matched) throw CommandFailed{L"the rows' check states read " + seen};
}

void SetRowState(Driver& driver, const std::wstring& rest, int stateImage)
{
    const int row = static_cast<int>(ParseNumber(rest));
    HWND list = Control(driver, kSkillListId);
    RemoteItem remote(driver.process);
    LVITEMW item = {};
    item.stateMask = LVIS_STATEIMAGEMASK;
    item.state = INDEXTOSTATEIMAGEMASK(stateImage);
    if (!SendMessageW(list, LVM_SETITEMSTATE, row, remote.Put(item))) throw CommandFailed{L"LVM_SETITEMSTATE failed"};
    Report(driver, {L"row-state", Number(row), Number(StateImage(list, row))});
}

void Tick(Driver& driver, const std::wstring& rest)
{
    SetRowState(driver, rest, 2);
}

void Untick(Driver& driver, const std::wstring& rest)
{
    SetRowState(driver, rest, 1);
}

void WaitStatus(Driver& driver, const std::wstring& rest)
{
    const auto [wanted, timeoutMs] = TextAndTimeout(rest);
    std::wstring seen;
    const bool matched = WaitFor(timeoutMs, [&] {
        seen = WindowText(Control(driver, kStatusId));
        return seen == wanted;
    });
    Report(driver, {L"status", seen});
    if (!matched) throw CommandFailed{L"the status line reads \"" + seen + L"\""};
}

// One WM_GETTEXT into a buffer with room to spare: asking for the length first could cut a
// text that changes between the two messages, and the trace would note a text never shown.
std::wstring StatusText(HWND status)
{
    wchar_t text[1024] = {};
    const LRESULT copied = SendMessageW(status, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
    return std::wstring(text, static_cast<size_t>(copied));
}

// Timed with the performance counter: GetTickCount may advance in steps of up to 16 ms.
void TraceStatus(Driver& driver, const std::wstring& rest)
{
    const auto [wanted, timeoutMs] = TextAndTimeout(rest);
    HWND status = Control(driver, kStatusId);
    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    std::wstring noted;
    for (bool first = true;; first = false) {
        Wizard(driver);  // a vanished wizard would read as an empty status
        const std::wstring seen = StatusText(status);
        QueryPerformanceCounter(&now);
        const long long elapsedMs = (now.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart;
        if (first || seen != noted) {
            Report(driver, {L"status-at", Number(elapsedMs), seen});
            noted = seen;
        }
        if (seen == wanted) return;
        if (elapsedMs >= static_cast<long long>(timeoutMs))
            throw CommandFailed{L"the status line reads \"" + seen + L"\""};
        Sleep(kTracePollMs);
    }
}

void WaitForEnabledState(Driver& driver, const std::wstring& rest, bool enabled)
{
    const auto [id, timeoutMs] = TextAndTimeout(rest);
    HWND control = Control(driver, static_cast<int>(ParseNumber(id)));
    if (!WaitFor(timeoutMs, [&] { return (IsWindowEnabled(control) != FALSE) == enabled; }))
        throw CommandFailed{L"control " + id + (enabled ? L" stayed disabled" : L" stayed enabled")};
    Report(driver, {L"enabled", id, enabled ? L"1" : L"0"});
}

void WaitEnabled(Driver& driver, const std::wstring& rest)
{
    WaitForEnabledState(driver, rest, true);
}

void WaitDisabled(Driver& driver, const std::wstring& rest)
{
    WaitForEnabledState(driver, rest, false);
}

void Log(Driver& driver, const std::wstring&)
{
    HWND log = Control(driver, kLogId);
    const int count = static_cast<int>(SendMessageW(log, LB_GETCOUNT, 0, 0));
    Report(driver, {L"log-count", Number(count)});
    for (int i = 0; i < count; ++i) {
        const LRESULT length = SendMessageW(log, LB_GETTEXTLEN, i, 0);
        std::wstring line(static_cast<size_t>(length) + 1, L'\0');
        SendMessageW(log, LB_GETTEXT, i, reinterpret_cast<LPARAM>(line.data()));
        line.resize(static_cast<size_t>(length));
        Report(driver, {L"log", Number(i), line});
    }
}

void Progress(Driver& driver, const std::wstring&)
{
    Report(driver, {L"progress", Number(SendMessageW(Control(driver, kProgressId), PBM_GETPOS, 0, 0))});
}

void Screenshot(Driver& driver, const std::wstring& rest)
{
    HWND wizard = Wizard(driver);
    RedrawWindow(wizard, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN);
    Sleep(500);  // the wizard repaints on its own thread
    RECT area = {};
    GetWindowRect(wizard, &area);
    WriteBmp(rest, area.right - area.left, area.bottom - area.top, CaptureScreen(area));
    Report(driver, {L"screenshot", rest, Number(area.right - area.left), Number(area.bottom - area.top)});
}

void Close(Driver& driver, const std::wstring&)
{
    if (!PostMessageW(Wizard(driver), WM_CLOSE, 0, 0)) throw CommandFailed{L"PostMessageW failed"};
    Report(driver, {L"closed"});
}

void WaitExit(Driver& driver, const std::wstring& rest)
{
    if (!driver.process) throw CommandFailed{L"no wizard process known"};
    if (WaitForSingleObject(driver.process, TimeoutOr(rest, kDefaultWaitMs)) != WAIT_OBJECT_0)
        throw CommandFailed{L"the wizard is still running"};
    DWORD code = 0;
    GetExitCodeProcess(driver.process, &code);
    Report(driver, {L"exit", Number(code)});
}

void EndProgram(Driver& driver, const std::wstring& rest)
{
    int ended = 0;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, rest.c_str()) != 0) continue;
        const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
        if (!process) continue;
        if (TerminateProcess(process, 0) && WaitForSingleObject(process, kDefaultWaitMs) == WAIT_OBJECT_0) ++ended;
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    Report(driver, {L"ended", Number(ended)});
}

using Handler = void (*)(Driver&, const std::wstring&);

struct NamedHandler {
    const wchar_t* name;
    Handler handler;
};

constexpr NamedHandler kCommands[] = {
    {L"wait-window", WaitWindow},
    {L"window-class", WindowClass},
    {L"read", Read},
    {L"expect-text", ExpectText},
    {L"set", Set},
    {L"check", Check},
    {L"is-checked", IsChecked},
    {L"press", Press},
    {L"enabled", Enabled},
    {L"visible", Visible},
    {L"expect-visible", ExpectVisible},
    {L"expect-box", ExpectBox},
    {L"answer-box", AnswerBox},
    {L"expect-no-box", ExpectNoBox},
    {L"list-rows", ListRows},
    {L"tick", Tick},
    {L"untick", Untick},
    {L"expect-states", ExpectStates},
    {L"wait-status", WaitStatus},
    {L"trace-status", TraceStatus},
    {L"wait-enabled", WaitEnabled},
    {L"wait-disabled", WaitDisabled},
    {L"log", Log},
    {L"progress", Progress},
    {L"screenshot", Screenshot},
    {L"close", Close},
    {L"wait-exit", WaitExit},
    {L"end-program", EndProgram},
    {L"key", Key},
    {L"type", Type},
    {L"focus", Focus},
    {L"expect-focus", ExpectFocus},
    {L"layout", Layout},
};

void Run(Driver& driver, const Command& command)
{
    for (const NamedHandler& entry : kCommands) {
        if (command.name == entry.name) return entry.handler(driver, command.rest);
    }
    throw CommandFailed{L"unknown command"};
}

std::vector<std::wstring> ReadScript(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    if (!in) throw CommandFailed{L"cannot read " + path};
    std::vector<std::wstring> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        lines.push_back(Wide(line));
    }
    return lines;
}

bool WriteReport(const std::wstring& path, const std::string& report)
{
    FILE* out = _wfopen(path.c_str(), L"wb");
    if (!out) return false;
    std::fwrite(report.data(), 1, report.size(), out);
    std::fclose(out);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: wizard_driver SCRIPT REPORT\n");
        return 2;
    }
    Driver driver;
    int result = 0;
    try {
        for (const std::wstring& line : ReadScript(argv[1])) {
            try {
                Run(driver, ParseCommand(line));
            } catch (const CommandFailed& failure) {
                Report(driver, {L"error", line, failure.message});
                result = 1;
                break;
            }
        }
    } catch (const CommandFailed& failure) {
        Report(driver, {L"error", L"", failure.message});
        result = 1;
    }
    if (driver.process) CloseHandle(driver.process);
    return WriteReport(argv[2], driver.report) ? result : 2;
}
