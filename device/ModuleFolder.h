// The program folder with its trailing backslash, set by the production page
// before any run and empty until then. The device takes the drive letter of it
// for SATA_Setting.ini; the job builds its log folders below it.
#pragma once
#include <string>

extern std::string g_ModuleFolder;
