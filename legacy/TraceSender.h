// Trace senders: one line of text to an outside trace viewer. The viewer
// listens on an abstract Unix socket named after its window class and title;
// each line goes as one 255-byte block (the text and its zero byte first) and
// the sender waits at most 2 s, the connection included, for the viewer's
// one-byte receipt. Without a viewer the line is dropped. Wide texts go as
// UTF-8.
#pragma once
#include <cstdint>
#include <string>

// The abstract socket name of the viewer (without the leading zero byte).
std::string TraceViewerName();
// Test seam: a viewer name of the test's own, so tests running at once never
// meet each other's viewer (empty: the real name).
void SetTraceViewerName(const std::string& name);
// Sends one text (cut to 254 characters); true when the viewer confirmed it.
// False at once for a viewer name too long for a socket address.
bool SendTraceBlock(const char* text);

void SendTraceHex(std::uint32_t value);
void SendTraceText(const char* text);
void SendTraceWide(const char16_t* text);
void SendTraceString(const std::string& text);
void SendTrace(std::string text);
