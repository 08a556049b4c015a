#include "device/ErrorCode.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <shared_mutex>

namespace {

struct CodeRow {
  const char* code;
  std::int32_t number;
};

// The catalogue in its fixed order. A row's number is its category's base plus
// its position, except S_x28/S_x29 (swapped), F_T27 (shares F_T10's number) and
// F_x50; the numbers are written out so the table reads as the data it is.
// clang-format off
constexpr CodeRow kRows[] = {
  // S
  {"S_x01", 0x000}, {"S_D02", 0x001}, {"S_D03", 0x002}, {"S_x04", 0x003}, {"S_x05", 0x004}, {"S_x06", 0x005},
  {"S_B07", 0x006}, {"S_R08", 0x007}, {"S_R09", 0x008}, {"S_M10", 0x009}, {"S_x11", 0x00A}, {"S_x12", 0x00B},
  {"S_x13", 0x00C}, {"S_x14", 0x00D}, {"S_x15", 0x00E}, {"S_x16", 0x00F}, {"S_x17", 0x010}, {"S_x18", 0x011},
  {"S_x19", 0x012}, {"S_x20", 0x013}, {"S_x21", 0x014}, {"S_x22", 0x015}, {"S_x23", 0x016}, {"S_K24", 0x017},
  {"S_x25", 0x018}, {"S_x26", 0x019}, {"S_x27", 0x01A}, {"S_x28", 0x01C}, {"S_x29", 0x01B}, {"S_x30", 0x01D},
  {"S_x31", 0x01E}, {"S_x32", 0x01F},
  // M
  {"M_x01", 0x100}, {"M_D02", 0x101}, {"M_x03", 0x102}, {"M_x04", 0x103}, {"M_x05", 0x104}, {"M_D06", 0x105},
  {"M_x07", 0x106}, {"M_x08", 0x107}, {"M_D09", 0x108}, {"M_D10", 0x109}, {"M_x11", 0x10A}, {"M_D12", 0x10B},
  {"M_D13", 0x10C}, {"M_D14", 0x10D}, {"M_x15", 0x10E}, {"M_I16", 0x10F}, {"M_G17", 0x110}, {"M_T18", 0x111},
  {"M_x19", 0x112}, {"M_D20", 0x113}, {"M_x21", 0x114}, {"M_x22", 0x115}, {"M_T23", 0x116}, {"M_T24", 0x117},
  {"M_T25", 0x118}, {"M_x26", 0x119}, {"M_x27", 0x11A}, {"M_x28", 0x11B}, {"M_T29", 0x11C}, {"M_x30", 0x11D},
  {"M_A31", 0x11E}, {"M_T32", 0x11F}, {"M_x33", 0x120}, {"M_x34", 0x121}, {"M_T35", 0x122}, {"M_x36", 0x123},
  {"M_x37", 0x124}, {"M_x38", 0x125}, {"M_x39", 0x126}, {"M_A40", 0x127}, {"M_x41", 0x128}, {"M_D42", 0x129},
  {"M_D43", 0x12A}, {"M_D44", 0x12B}, {"M_D45", 0x12C}, {"M_D46", 0x12D}, {"M_D47", 0x12E}, {"M_D48", 0x12F},
  {"M_T49", 0x130}, {"M_T50", 0x131}, {"M_S51", 0x132}, {"M_D52", 0x133}, {"M_D53", 0x134}, {"M_T54", 0x135},
  {"M_A55", 0x136}, {"M_A56", 0x137}, {"M_D57", 0x138}, {"M_x58", 0x139}, {"M_T59", 0x13A}, {"M_T60", 0x13B},
  // P
  {"P_x01", 0x200}, {"P_x02", 0x201}, {"P_B03", 0x202}, {"P_B04", 0x203}, {"P_B05", 0x204}, {"P_x06", 0x205},
  {"P_x07", 0x206}, {"P_x08", 0x207}, {"P_x09", 0x208}, {"P_x10", 0x209}, {"P_x11", 0x20A}, {"P_U12", 0x20B},
  {"P_U13", 0x20C}, {"P_U14", 0x20D}, {"P_x15", 0x20E}, {"P_x16", 0x20F}, {"P_x17", 0x210}, {"P_x18", 0x211},
  {"P_x19", 0x212},
  // F
  {"F_x01", 0x300}, {"F_x02", 0x301}, {"F_E03", 0x302}, {"F_E04", 0x303}, {"F_L05", 0x304}, {"F_L06", 0x305},
  {"F_H07", 0x306}, {"F_H08", 0x307}, {"F_x09", 0x308}, {"F_J10", 0x309}, {"F_K11", 0x30A}, {"F_K12", 0x30B},
  {"F_K13", 0x30C}, {"F_x14", 0x30D}, {"F_x15", 0x30E}, {"F_x16", 0x30F}, {"F_K17", 0x310}, {"F_K18", 0x311},
  {"F_K19", 0x312}, {"F_x20", 0x313}, {"F_R21", 0x314}, {"F_R22", 0x315}, {"F_R23", 0x316}, {"F_M24", 0x317},
  {"F_M25", 0x318}, {"F_x26", 0x319}, {"F_J27", 0x31A}, {"F_T28", 0x31B}, {"F_T29", 0x31C}, {"F_x30", 0x31D},
  {"F_x31", 0x31E}, {"F_T32", 0x31F}, {"F_T33", 0x320}, {"F_T34", 0x321}, {"F_D35", 0x322}, {"F_T36", 0x323},
  {"F_T37", 0x324}, {"F_T38", 0x325}, {"F_T39", 0x326}, {"F_T40", 0x327}, {"F_T41", 0x328}, {"F_J42", 0x329},
  {"F_J43", 0x32A}, {"F_J44", 0x32B}, {"F_J45", 0x32C}, {"F_J46", 0x32D}, {"F_L47", 0x32E}, {"F_L48", 0x32F},
  {"F_x49", 0x330}, {"F_T10", 0x331}, {"F_T27", 0x331}, {"F_x50", 0x340},
  // I
  {"I_x01", 0x400}, {"I_x02", 0x401}, {"I_G03", 0x402}, {"I_x04", 0x403}, {"I_x05", 0x404}, {"I_x06", 0x405},
  {"I_x07", 0x406}, {"I_x08", 0x407}, {"I_x09", 0x408}, {"I_Q10", 0x409}, {"I_x11", 0x40A}, {"I_x12", 0x40B},
  {"I_x13", 0x40C}, {"I_x14", 0x40D}, {"I_G15", 0x40E}, {"I_J16", 0x40F}, {"I_J17", 0x410}, {"I_x18", 0x411},
  {"I_x19", 0x412}, {"I_x20", 0x413}, {"I_x21", 0x414}, {"I_x22", 0x415}, {"I_x23", 0x416}, {"I_x24", 0x417},
  {"I_x25", 0x418}, {"I_x26", 0x419}, {"I_x27", 0x41A}, {"I_F28", 0x41B}, {"I_F29", 0x41C}, {"I_x30", 0x41D},
  {"I_x31", 0x41E}, {"I_x32", 0x41F}, {"I_x33", 0x420}, {"I_x34", 0x421}, {"I_x35", 0x422}, {"I_x36", 0x423},
  {"I_x37", 0x424}, {"I_x38", 0x425}, {"I_x39", 0x426}, {"I_x40", 0x427}, {"I_x41", 0x428}, {"I_x42", 0x429},
  {"I_T52", 0x42A}, {"I_V01", 0x42B}, {"I_x45", 0x42C}, {"I_x46", 0x42D}, {"I_x47", 0x42E}, {"I_x48", 0x42F},
  {"I_U49", 0x430}, {"I_x50", 0x431}, {"I_x51", 0x432}, {"I_S52", 0x433}, {"I_x53", 0x434}, {"I_x54", 0x435},
  {"I_x55", 0x436}, {"I_x56", 0x437}, {"I_M57", 0x438}, {"I_M58", 0x439}, {"I_x59", 0x43A}, {"I_x60", 0x43B},
  {"I_x61", 0x43C}, {"I_x62", 0x43D}, {"I_x63", 0x43E}, {"I_x64", 0x43F}, {"I_x65", 0x440}, {"I_x66", 0x441},
  {"I_x67", 0x442}, {"I_x68", 0x443}, {"I_x69", 0x444}, {"I_x70", 0x445}, {"I_x71", 0x446}, {"I_x72", 0x447},
  {"I_x74", 0x448}, {"I_U73", 0x449}, {"I_U74", 0x44A}, {"I_U75", 0x44B}, {"I_U76", 0x44C}, {"I_U77", 0x44D},
  {"I_x78", 0x44E}, {"I_x79", 0x44F}, {"I_x80", 0x450}, {"I_x81", 0x451}, {"I_x82", 0x452}, {"I_x83", 0x453},
  {"I_x84", 0x454}, {"I_x85", 0x455}, {"I_x86", 0x456}, {"I_x87", 0x457}, {"I_x88", 0x458}, {"I_x89", 0x459},
  {"I_x90", 0x45A}, {"I_x91", 0x45B}, {"I_D92", 0x45C}, {"I_x93", 0x45D}, {"I_T94", 0x45E}, {"I_D95", 0x45F},
  {"I_A96", 0x460}, {"I_T97", 0x461}, {"I_T98", 0x462}, {"I_x99", 0x463}, {"I_T100", 0x464}, {"I_x101", 0x465},
  {"I_xA1", 0x466}, {"I_xA2", 0x467}, {"I_xA3", 0x468}, {"I_xA4", 0x469}, {"I_xA5", 0x46A}, {"I_xA6", 0x46B},
  {"I_xA7", 0x46C}, {"I_xA8", 0x46D}, {"I_xA9", 0x46E}, {"I_T53", 0x46F}, {"I_T54", 0x470}, {"I_H10", 0x471},
  {"I_V02", 0x472},
  // D
  {"D_S01", 0x500}, {"D_S02", 0x501}, {"D_S03", 0x502}, {"D_S04", 0x503}, {"D_S05", 0x504}, {"D_S06", 0x505},
  {"D_x07", 0x506}, {"D_x08", 0x507}, {"D_S09", 0x508}, {"D_S10", 0x509}, {"D_S11", 0x50A}, {"D_S12", 0x50B},
  {"D_S13", 0x50C}, {"D_S14", 0x50D}, {"D_S15", 0x50E}, {"D_x16", 0x50F}, {"D_x17", 0x510}, {"D_x18", 0x511},
  {"D_D01", 0x512},
  // T
  {"T_01", 0x600}, {"T_x02", 0x601}, {"T_x03", 0x602}, {"T_A04", 0x603}, {"T_x05", 0x604}, {"T_x06", 0x605},
  {"T_x07", 0x606}, {"T_x08", 0x607}, {"T_x09", 0x608}, {"T_x10", 0x609}, {"T_x11", 0x60A}, {"T_x12", 0x60B},
  {"T_x13", 0x60C}, {"T_x14", 0x60D}, {"T_x15", 0x60E}, {"T_x16", 0x60F}, {"T_x17", 0x610}, {"T_x18", 0x611},
  {"T_x19", 0x612},
  // A
  {"A_x01", 0x700}, {"A_x02", 0x701}, {"A_x03", 0x702}, {"A_x04", 0x703}, {"A_x05", 0x704}, {"A_x06", 0x705},
  {"A_x07", 0x706}, {"A_x08", 0x707}, {"A_L09", 0x708},
  // Z
  {"Z_x01", 0x800},
  // UID
  {"UID_A", 0x900}, {"UID_B", 0x901}, {"UID_C", 0x902}, {"UID_D", 0x903}, {"UID_E", 0x904}, {"UID_F", 0x905},
  // R
  {"R_x01", 0xA00}, {"R_x02", 0xA01}, {"R_x03", 0xA02}, {"R_x04", 0xA03}, {"R_x05", 0xA04}, {"R_x06", 0xA05},
  {"R_x07", 0xA06}, {"R_x08", 0xA07},
  // H
  {"H_x01", 0xB00}, {"H_x02", 0xB01}, {"H_x03", 0xB02}, {"H_x04", 0xB03}, {"H_x05", 0xB04}, {"H_x06", 0xB05},
  {"H_x07", 0xB06}, {"H_x08", 0xB07}, {"H_x09", 0xB08}, {"H_x10", 0xB09},
};
// clang-format on

// Filling and clearing take the lock exclusively, so a worker still printing a
// code at program end never sees the map half-cleared.
std::shared_mutex g_ErrorCodeMapLock;
std::map<std::string, std::int32_t> g_ErrorCodeMap;

bool Lookup(const std::string& code, std::int32_t& number) {
  std::shared_lock lock(g_ErrorCodeMapLock);
  auto it = g_ErrorCodeMap.find(code);
  if (it == g_ErrorCodeMap.end()) return false;
  number = it->second;
  return true;
}

}  // namespace

namespace kx {

void FillErrorCodeMap() {
  std::unique_lock lock(g_ErrorCodeMapLock);
  g_ErrorCodeMap.clear();
  for (const CodeRow& row : kRows) g_ErrorCodeMap.emplace(row.code, row.number);  // first insert wins
}

void ClearErrorCodeMap() {
  std::unique_lock lock(g_ErrorCodeMapLock);
  g_ErrorCodeMap.clear();
}

std::size_t ErrorCodeMapSize() {
  std::shared_lock lock(g_ErrorCodeMapLock);
  return g_ErrorCodeMap.size();
}

std::string FormatErrorCodeText(const std::string& code) {
  if (code.size() < 2 || code[1] != '_') return code;
  std::int32_t number = 0xFFF;
  if (!Lookup(code, number) && code.size() >= 3) {
    std::string general = code;
    general[2] = 'x';
    if (!Lookup(general, number)) number = 0xFFF;
  }
  char text[16];
  std::snprintf(text, sizeof text, "0x%03X", static_cast<unsigned>(number));
  return text;
}

}  // namespace kx
