// Writes one text to a file per call: open, write, close. Paths are the
// program's Windows-style paths, mapped by the platform layer.
#pragma once
#include <string>

class CLogFile {
 public:
  // Appends to an existing file; never creates one. 0 when the whole text was
  // written, -1 otherwise (a short write is undone).
  int AppendText(const std::string& path, const std::string& text);
  // Creates or truncates the file, then writes the text. 0 or -1.
  int WriteText(const std::string& path, const std::string& text);
};
