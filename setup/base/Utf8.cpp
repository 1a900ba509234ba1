#include "Utf8.h"

#include <cstdint>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Bytes that follow a lead byte; 0 marks a byte that can never start a sequence.
int ContinuationCount(unsigned char lead)
{
    if (lead >= 0xC2 && lead <= 0xDF) return 1;
    if (lead >= 0xE0 && lead <= 0xEF) return 2;
    if (lead >= 0xF0 && lead <= 0xF4) return 3;
    return 0;
}

// The second byte is narrower after these leads: it rules out overlong forms,
// UTF-16 surrogates and values above U+10FFFF.
bool SecondByteAllowed(unsigned char lead, unsigned char second)
{
    switch (lead) {
    case 0xE0: return second >= 0xA0;
    case 0xED: return second <= 0x9F;
    case 0xF0: return second >= 0x90;
    case 0xF4: return second <= 0x8F;
    default: return true;
    }
}

// Decodes one sequence at `pos` and advances past the bytes it consumed. Invalid input
// is replaced the way the system's UTF-8 code page does it: a sequence cut short by the
// end of the text is one replacement for everything left; a bad second byte is consumed
// with the lead when it is a continuation byte of the wrong range; any other stray byte
// is one replacement of its own.
char32_t DecodeOne(const std::string& text, size_t& pos)
{
    const auto lead = static_cast<unsigned char>(text[pos]);
    if (lead < 0x80) {
        ++pos;
        return lead;
    }
    const int count = ContinuationCount(lead);
    if (count == 0) {
        ++pos;
        return kReplacement;
    }
    if (text.size() - pos - 1 < static_cast<size_t>(count)) {
        pos = text.size();
        return kReplacement;
    }
    char32_t value = lead & (0x3F >> count);
    ++pos;
    for (int i = 0; i < count; ++i) {
        const auto byte = static_cast<unsigned char>(text[pos]);
        if (!IsContinuation(byte)) return kReplacement;
        ++pos;
        if (i == 0 && !SecondByteAllowed(lead, byte)) return kReplacement;
        value = (value << 6) | (byte & 0x3F);
    }
    return value;
}

void AppendUtf8(std::string& out, char32_t cp)
{
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

std::u32string DecodeUtf8(const std::string& utf8)
{
    std::u32string out;
    out.reserve(utf8.size());
    size_t pos = 0;
    while (pos < utf8.size()) out.push_back(DecodeOne(utf8, pos));
    return out;
}

// Surrogates and values beyond U+10FFFF become U+FFFD, as the system does for
// unpaired UTF-16 surrogates.
std::string EncodeUtf8(const std::u32string& codePoints)
{
    std::string out;
    out.reserve(codePoints.size());
    for (char32_t cp : codePoints) AppendUtf8(out, cp);
    return out;
}

// The same rules as the decoder's, with no replacement: one sequence that breaks them is enough.
bool IsValidUtf8(const std::string& bytes)
{
    for (size_t pos = 0; pos < bytes.size();) {
        const auto lead = static_cast<unsigned char>(bytes[pos]);
        const int count = lead < 0x80 ? 0 : ContinuationCount(lead);
        if (lead >= 0x80 && (count == 0 || bytes.size() - pos - 1 < static_cast<size_t>(count))) return false;
        for (int i = 1; i <= count; ++i) {
            const auto byte = static_cast<unsigned char>(bytes[pos + i]);
            if (!IsContinuation(byte) || (i == 1 && !SecondByteAllowed(lead, byte))) return false;
        }
        pos += static_cast<size_t>(count) + 1;
    }
    return true;
}
