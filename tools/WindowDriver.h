// Drives the program's window without an operator: the window test and the
// headless demo run its event loop until a condition holds and take a
// screenshot of it.
#pragma once
#include <cstddef>
#include <functional>

#include <wx/image.h>
#include <wx/window.h>

namespace kxtools {

// A window test program's window system: a plain wxApp started without its
// main loop, log messages to stderr, PNG support. False when there is no display.
bool StartWindowSystem(const char* programName);
void StopWindowSystem();

// Runs the window system's event loop until done() holds or limitMs of real
// time have passed, asking every pollMs; whether done() held.
bool RunEventsUntil(const std::function<bool()>& done, int limitMs, int pollMs = 50);
// Runs the event loop for ms of real time with no event of its own meanwhile.
void RunEventsFor(int ms);
// A close of a top-level window as the window manager (its close button) asks
// it: a delete event on the window system's queue. False when the window
// system's calls for it are not found.
bool PutDeleteEvent(wxWindow* window);
// The window as it shows on the screen.
wxImage Screenshot(wxWindow* window);

struct ColourCount {
  std::size_t distinct = 0;
  std::size_t green = 0;  // pixels of the pass colour (0, 255, 0)
  std::size_t red = 0;    // pixels of the fail colour (255, 0, 0)
};
ColourCount CountColours(const wxImage& image);

}  // namespace kxtools
