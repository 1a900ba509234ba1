// Test child for the process runner: each argument is one action, done in order.
//   out:TEXT  err:TEXT    one write of TEXT to stdout / stderr; escapes \r \n \0 \\ \xHH, other text as UTF-8
//   bulk:N                one write of N bytes 'a'..'z' repeating
//   count:N:MS            lines "line 1".."line N" with CR LF, one write each, MS ms apart
//   sleep:MS              pause
//   cwd                   writes the current directory as UTF-8, without a line end
//   pidfile:PATH          writes this process's id as decimal text to PATH
//   marker:PATH           creates the empty file PATH
//   hold:PATH             opens PATH with no sharing at all and keeps it open until the end
//   closeout              closes stdout and stderr
//   exit:CODE             ends with CODE (default 0)
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

std::string Utf8(const std::wstring& wide)
{
    if (wide.empty()) return {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string bytes(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), bytes.data(), length, nullptr,
                        nullptr);
    return bytes;
}

std::string Unescape(const std::wstring& text)
{
    std::string bytes;
    std::wstring plain;
    auto flushPlain = [&] {
        bytes += Utf8(plain);
        plain.clear();
    };
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'\\' || i + 1 == text.size()) {
            plain.push_back(text[i]);
            continue;
        }
        flushPlain();
        const wchar_t kind = text[++i];
        if (kind == L'r') bytes.push_back('\r');
        else if (kind == L'n') bytes.push_back('\n');
        else if (kind == L'0') bytes.push_back('\0');
        else if (kind == L'x' && i + 2 < text.size()) {
            bytes.push_back(static_cast<char>(std::wcstoul(text.substr(i + 1, 2).c_str(), nullptr, 16)));
            i += 2;
        } else bytes.push_back(static_cast<char>(kind));
    }
    flushPlain();
    return bytes;
}

void Write(DWORD which, const std::string& bytes)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(which), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void WriteFileText(const std::wstring& path, const std::string& text)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

bool Take(const std::wstring& arg, const wchar_t* prefix, std::wstring& rest)
{
    const std::wstring p = prefix;
    if (arg.compare(0, p.size(), p) != 0) return false;
    rest = arg.substr(p.size());
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    int exitCode = 0;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        std::wstring rest;
        if (Take(arg, L"out:", rest)) Write(STD_OUTPUT_HANDLE, Unescape(rest));
        else if (Take(arg, L"err:", rest)) Write(STD_ERROR_HANDLE, Unescape(rest));
        else if (Take(arg, L"bulk:", rest)) {
            std::string bytes(std::wcstoul(rest.c_str(), nullptr, 10), '\0');
            for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<char>('a' + k % 26);
            Write(STD_OUTPUT_HANDLE, bytes);
        } else if (Take(arg, L"count:", rest)) {
            wchar_t* after = nullptr;
            const unsigned long lines = std::wcstoul(rest.c_str(), &after, 10);
            const unsigned long pause = std::wcstoul(after + 1, nullptr, 10);
            for (unsigned long n = 1; n <= lines; ++n) {
                Write(STD_OUTPUT_HANDLE, "line " + std::to_string(n) + "\r\n");
                if (pause) Sleep(pause);
            }
        } else if (Take(arg, L"sleep:", rest)) Sleep(std::wcstoul(rest.c_str(), nullptr, 10));
        else if (arg == L"cwd") {
            wchar_t directory[MAX_PATH] = {};
            GetCurrentDirectoryW(MAX_PATH, directory);
            Write(STD_OUTPUT_HANDLE, Utf8(directory));
        } else if (Take(arg, L"pidfile:", rest)) WriteFileText(rest, std::to_string(GetCurrentProcessId()));
        else if (Take(arg, L"marker:", rest)) WriteFileText(rest, "");
        else if (Take(arg, L"hold:", rest))
            CreateFileW(rest.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        else if (arg == L"closeout") {
            CloseHandle(GetStdHandle(STD_OUTPUT_HANDLE));
            CloseHandle(GetStdHandle(STD_ERROR_HANDLE));
        } else if (Take(arg, L"exit:", rest)) exitCode = static_cast<int>(std::wcstol(rest.c_str(), nullptr, 10));
    }
    return exitCode;
}
