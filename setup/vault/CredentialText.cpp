#include "CredentialText.h"

#include "agentconfig/StateDirectory.h"
#include "base/Hex.h"

bool HasCredentialPrefix(std::string_view text)
{
    return text.substr(0, kCredentialPrefix.size()) == kCredentialPrefix;
}

std::string ComposeCredentialText(const CredentialCipherText& parts)
{
    return std::string(kCredentialPrefix) + HexEncode(parts.nonce) + ":" + HexEncode(parts.tag) + ":" +
           HexEncode(parts.ciphertext);
}

// Only the two separators are checked here; field lengths are left for the cipher to refuse.
std::optional<CredentialCipherText> ParseCredentialText(std::string_view text)
{
    const size_t start = kCredentialPrefix.size();
    if (!HasCredentialPrefix(text) || text.size() <= start) return std::nullopt;
    const size_t c1 = text.find(':', start);
    if (c1 == std::string_view::npos || c1 + 1 >= text.size()) return std::nullopt;
    const size_t c2 = text.find(':', c1 + 1);
    if (c2 == std::string_view::npos) return std::nullopt;
    return CredentialCipherText{HexDecode(text.substr(start, c1 - start)),
                                HexDecode(text.substr(c1 + 1, c2 - c1 - 1)), HexDecode(text.substr(c2 + 1))};
}

std::string CredentialPassword(std::string_view computerName)
{
    return std::string(computerName) + std::string(kCredentialKeyConstant);
}

// Editors and shells add line ends and blanks at the end; anything else may belong to the key.
std::string TrimCredentialFileText(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

std::filesystem::path DashscopeCredentialPath(const std::filesystem::path& profile)
{
    return StateDirectoryUnder(profile).credentialsDir / kDashscopeCredentialFile;
}
