#include "legacy/TextUtilities.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/Files.h"

namespace kx {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Trim(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n";
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return std::string(text.substr(first, text.find_last_not_of(kBlanks) - first + 1));
}

}  // namespace

std::string GetField(const std::string& text, const std::string& separator, int index) {
  if (separator.empty() || text.find(separator) == std::string::npos) return {};
  const char sep = separator[0];
  std::size_t start = 0;
  int counter = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != sep) continue;
    if (counter == index) return Trim(std::string_view(text).substr(start, i - start));
    start = i + 1;
    ++counter;
  }
  if (counter != index) return {};
  return Trim(std::string_view(text).substr(start));
}

std::string EncodeTextFile(const std::string& source, const std::string& destination) {
  const std::string from = Trim(source);
  if (from.empty()) return {};
  // Only a regular file is read (a FIFO is never waited on, a folder never
  // read as empty), and only then is the destination touched.
  std::string data;
  if (platform::ReadFileBytes(from, data) != 0) return {};
  if (platform::FileExists(destination) && !platform::IsRegularFile(destination)) return {};
  std::string encoded;
  std::string last;
  std::vector<char> scratch;
  for (std::size_t pos = 0; pos < data.size();) {
    // As a 1024-byte line read takes it: through the line feed, at most 1023 bytes.
    const std::size_t feed = data.find('\n', pos);
    const std::size_t end = std::min(feed == std::string::npos ? data.size() : feed + 1, pos + 1023);
    std::string_view piece(data.data() + pos, end - pos);
    pos = end;
    piece = piece.substr(0, piece.find('\0'));  // read as a C string
    last = Trim(piece);
    if (last.empty()) continue;
    scratch.assign(4 * ((last.size() + 2) / 3) + 1, 0);
    std::memcpy(scratch.data(), last.data(), last.size());
    Base64EncodeInPlace(scratch.data(), last.size());
    encoded += scratch.data();
    encoded += "\r\n";
  }
  // Replaced whole: never left half written.
  if (platform::WriteFileBytes(destination, encoded) != 0) return {};
  return last;
}

void Base64EncodeInPlace(char* buffer, std::size_t n) {
  // The scratch fits the input, so no input is too long.
  std::string text;
  text.reserve(4 * ((n + 2) / 3));
  const auto* in = reinterpret_cast<const unsigned char*>(buffer);
  std::size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    text += kAlphabet[in[i] >> 2];
    text += kAlphabet[((in[i] & 0x03) << 4) | (in[i + 1] >> 4)];
    text += kAlphabet[((in[i + 1] & 0x0F) << 2) | (in[i + 2] >> 6)];
    text += kAlphabet[in[i + 2] & 0x3F];
  }
  if (n - i == 1) {
    text += kAlphabet[in[i] >> 2];
    text += kAlphabet[(in[i] & 0x03) << 4];
    text += "==";
  } else if (n - i == 2) {
    text += kAlphabet[in[i] >> 2];
    text += kAlphabet[((in[i] & 0x03) << 4) | (in[i + 1] >> 4)];
    text += kAlphabet[(in[i + 1] & 0x0F) << 2];
    text += '=';
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
}

void Base64DecodeInPlace(char* buffer, std::size_t& length) {
  std::vector<unsigned> values(buffer, buffer + length);
  for (unsigned& v : values) v = static_cast<unsigned char>(v);
  std::size_t pad = 0;
  while (!values.empty() && values.back() == '=') {
    values.pop_back();
    ++pad;
  }
  for (unsigned& v : values) {
    const char* at = v == '=' ? kAlphabet + 64 : std::strchr(kAlphabet, static_cast<int>(v));
    if (v == 0 || at == nullptr) break;  // the rest keeps its raw codes
    v = static_cast<unsigned>(at - kAlphabet);
  }
  const std::size_t groups = (values.size() + 3) / 4;
  values.resize(groups * 4, 0);  // a short last group reads zeros
  std::vector<unsigned char> out;
  out.reserve(groups * 3);
  for (std::size_t g = 0; g < groups; ++g) {
    const unsigned* c = &values[g * 4];
    out.push_back(static_cast<unsigned char>((c[0] << 2) + ((c[1] >> 4) & 0x03)));
    out.push_back(static_cast<unsigned char>(((c[1] & 0x0F) << 4) + ((c[2] >> 2) & 0x0F)));
    out.push_back(static_cast<unsigned char>(((c[2] & 0x03) << 6) + c[3]));
  }
  // More pad marks than bytes, or a text whose length is not a multiple of
  // four, must not give a length beyond the bytes there are.
  std::size_t decoded = out.size() > pad ? out.size() - pad : 0;
  if (decoded > length) decoded = length;
  if (decoded != 0) std::memcpy(buffer, out.data(), decoded);
  if (decoded < length) buffer[decoded] = 0;
  length = decoded;
}

}  // namespace kx
