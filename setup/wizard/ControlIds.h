#pragma once

// Identifiers of the wizard's controls; the GUI tests find controls by these too.
inline constexpr int IDC_NEXT = 2001;
inline constexpr int IDC_CANCEL = 2002;
inline constexpr int IDC_BROWSE = 2003;
inline constexpr int IDC_SELECT_ALL = 2004;
inline constexpr int IDC_SELECT_NONE = 2005;
inline constexpr int IDC_INSTALL_DIR = 3001;
inline constexpr int IDC_API_KEY = 3010;
inline constexpr int IDC_MODEL = 3011;
inline constexpr int IDC_PROVIDER = 3013;
inline constexpr int IDC_DASHSCOPE_KEY = 3020;
inline constexpr int IDC_PORT = 3030;
inline constexpr int IDC_CONSOLE_LINK = 3040;
inline constexpr int IDC_SKILL_LIST = 4001;
inline constexpr int IDC_PROGRESS = 5001;
inline constexpr int IDC_STATUS = 5002;
inline constexpr int IDC_LOG = 5003;
inline constexpr int IDC_DETAIL = 5004;
inline constexpr int IDC_DISCLAIMER = 6001;
inline constexpr int IDC_ACCEPT = 6002;
