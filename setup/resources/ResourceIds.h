#pragma once
// Resource identifiers shared by setup.rc and the code that loads them; plain defines, as windres reads them.

// The application icon group: the window's large and small icon, and the one Explorer shows.
#define IDI_SETUP 10001
