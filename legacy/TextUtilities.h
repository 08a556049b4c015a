// Text utilities of the legacy production page: a field splitter, a line by
// line Base64 encoder for text files, and in-place Base64 (standard alphabet,
// "=" pad, no line breaks).
#pragma once
#include <cstddef>
#include <string>

namespace kx {

// Field `index` (0-based) of `text` split at the one-character `separator`,
// trimmed; empty when the separator never occurs or there is no such field.
std::string GetField(const std::string& text, const std::string& separator, int index);

// Writes each non-empty trimmed line (or 1023-character piece) of `source` as
// its Base64 text and CR LF to `destination`, replacing it whole. The source
// must be a regular file and the destination one or missing; otherwise, or
// when either cannot be read or written, the destination stays as it was and
// the result is empty. Returns the last piece read, trimmed (empty when none);
// paths are Windows paths.
std::string EncodeTextFile(const std::string& source, const std::string& destination);

// Replaces the first n bytes of `buffer` by their Base64 text and a zero byte;
// the buffer holds at least 4 * ceil(n / 3) + 1 bytes.
void Base64EncodeInPlace(char* buffer, std::size_t n);

// Decodes the `length` bytes of Base64 text at the start of `buffer` in place;
// `length` becomes the number of decoded bytes, followed by a zero byte when
// it fits within the text's length. Reads and writes nothing past `length`.
void Base64DecodeInPlace(char* buffer, std::size_t& length);

}  // namespace kx
