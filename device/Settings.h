// Readers of the settings that many parts of the program share. Each reads its
// keys afresh at every call and never reports an error: missing files and keys
// read as empty or as their defaults.
#pragma once
#include <cstdint>
#include <string>

namespace kx {

// Station number 0..10 from [General Info] TestStation of MPToolSetting.ini.
int GetTestStation();
// False when TestStation is missing, empty, a text the station table does not
// hold (the station is then RDT), or longer than the reader reads (the station
// of its first nine characters runs).
bool TestStationNamed();
// "EraseAll" .. "RMADBG" for stations 0 to 10, else "unKnown".
const char* StationName(int station);
// Folder of the running program, without a trailing separator.
std::string GetModuleFolder();
// Path of the language file chosen by [General Info] Language or the system language.
std::string GetLanguageIniPath();
// The board's CE map entry "CE<ce>" of the selected flash; empty when none is named.
std::string GetFlashMapCe(std::uint16_t ce);
// OR of the four CE type masks of the selected flash CE type.
std::uint16_t GetFlashCeTypeMask();
// Log folder name of a station ("04_MP" for unknown stations).
std::string GetStationFolderName(int station);
// Erase type for the erase step, from Pretest, the station and Debug.ini.
int GetEraseType();
// Path of a BIN file from STRBinPath.ini; kind 0..3 picks the BIN type when binType is empty.
std::string GetBinFilePaths(const std::string& binType, int kind);

// Trims blanks (spaces and tabs) on both sides.
std::string TrimBlanks(const std::string& text);

}  // namespace kx
