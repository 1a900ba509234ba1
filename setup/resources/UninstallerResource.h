#pragma once
// The uninstaller's bytes inside setup.exe, as an RCDATA resource of this number.
#define QUILLMERE_UNINSTALLER_RESOURCE 20001
